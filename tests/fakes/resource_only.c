/* A library that carries resources and no code of its own. */
int corvina_resource_only_marker(void) { return 1; }
