/* A library that loads and exports one known entry point. */
int corvina_probe_answer(void) { return 42; }
