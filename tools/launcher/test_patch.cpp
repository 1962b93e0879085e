// A stand-in patch DLL for the launcher's tests. It says on standard output
// that it was loaded (before any of the game's own output, when it loads
// first), or, built with REFUSE_TO_LOAD, fails its start-up as a patch that
// cannot initialise does.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
#ifdef REFUSE_TO_LOAD
  return FALSE;
#else
  static const char kLine[] = "patch loaded\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kLine, sizeof kLine - 1, &written, nullptr);
  return TRUE;
#endif
}
