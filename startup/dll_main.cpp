// Entry point of the patch DLL. It has no exports: everything starts here and
// in the functions it redirects.
#include <windows.h>

#include "startup/process_attach.h"
#include "startup/process_globals.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ProcessAttach(module);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null `reserved` means the process is ending: its other threads
      // are gone, perhaps while holding a lock of the overlay or of the heap.
      // Take no lock, close no stream, free nothing; the system reclaims it
      // all. FreeLibrary (null) takes the patch apart: the hooks first, then
      // the process-wide objects, as the runtime would destroy them. Hooks
      // that could not be removed still lead into this DLL, so then it stays
      // mapped and keeps everything the replacements use.
      if (reserved != nullptr) break;
      if (!ProcessDetach()) {
        StayLoadedAfterFailedDetach();
        break;
      }
      DestroyProcessGlobals();
      break;
    default:
      break;
  }
  return TRUE;
}
