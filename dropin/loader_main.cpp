// Entry point of a drop-in loader: a DLL named after a system library that
// the game imports (version.dll, winmm.dll, ...). Placed in the game folder,
// it is found before the system's copy, because the folder of the program
// comes before the system directory in the search for a DLL that is not a
// known DLL (Microsoft, "Dynamic-link library search order"). Every export
// passes its call on to the system's copy (system_library.h); before the
// game's entry point it loads the patch (patch_loading.h).
#include <windows.h>

#include <string>

#include "dropin/game_entry_hook.h"
#include "dropin/patch_loading.h"
#include "dropin/system_library.h"

namespace {

// One loader per process acts: a game that imports two libraries the team
// ships loaders for may find both in its folder. The first to attach
// creates an event named after the process; a second finds it and only
// forwards. Creating a named object is a kernel32 call that DllMain may
// make; waiting on it would not be, and nothing waits.
bool ClaimTheProcess() {
  const std::wstring name =
      L"Local\\xp3patch-dropin-loader-" + std::to_wstring(GetCurrentProcessId());
  HANDLE claim = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (claim == nullptr) return true;  // nobody else could have claimed it either
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(claim);
    return false;
  }
  return true;  // the handle is kept until the process ends
}

void BeforeGame() {
  // The system's copy first, so that no call of the game's ever has to load
  // it; then the patch.
  ResolveAllForwards();
  LoadPatchOnce();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(module);
  // `reserved` is non-null for a DLL the program imports, null for one
  // loaded at run time (DllMain documentation). Loaded at run time, the
  // game's code has long been running and it may have passed the function
  // the patch waits for: the loader then only forwards.
  if (reserved != nullptr && ClaimTheProcess()) RunBeforeGameEntry(&BeforeGame);
  return TRUE;
}
