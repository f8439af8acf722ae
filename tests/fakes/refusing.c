/* A library whose start-up fails: DllMain refuses the process attach. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  return reason != DLL_PROCESS_ATTACH;
}

int corvina_probe_answer(void) { return 42; }
