/* A library loaded before the vision library; it remembers when. */
#include <stdint.h>
#include <time.h>

static int64_t loaded_at;

__attribute__((constructor)) static void remember_load(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  loaded_at = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int64_t fake_companion_loaded_at(void) { return loaded_at; }
