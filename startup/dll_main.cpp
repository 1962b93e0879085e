// Entry point of the patch DLL. It has no exports: everything starts here and
// in the functions it redirects.
#include <windows.h>

#include "startup/process_attach.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ProcessAttach(module);
      break;
    case DLL_PROCESS_DETACH:
      ProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
