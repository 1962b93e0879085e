// The process-wide objects of the patch.
//
// They are constructed together in one translation unit so that static
// initialisation builds them, before DllMain runs, in a fixed order: the
// crash client, the hook table, the overlay registry (which fixes the game
// directory at that moment), then the find-session set.
//
// The runtime never destroys them: they live in storage without a destructor.
// When the process ends, the other threads are gone and may have died
// holding a lock of the registry or of an archive, so nothing may be closed
// or freed; the system reclaims it all. Only an unload of the DLL during the
// process (FreeLibrary) destroys them, after its detach has removed the
// hooks, in reverse order, through DestroyProcessGlobals. When the detach
// fails, the hooks still use them: they stay, and so does the DLL.
#pragma once

#include <new>
#include <utility>

#include "overlay/find_session.h"
#include "overlay/overlay_registry.h"
#include "startup/hook_table.h"

class CrashClient;

// Holds one object constructed in place; the holder itself is trivially
// destructible, so the runtime registers nothing to destroy at exit.
template <typename T>
class ProcessObject {
 public:
  template <typename... Args>
  explicit ProcessObject(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  void Destroy() { get().~T(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

CrashClient& TheCrashClient();
HookTable& TheHookTable();
OverlayRegistry& TheOverlay();
FindSessionSet& TheFindSessions();

// Destroys the objects above in reverse order of construction. Called once,
// on FreeLibrary's detach, after the hooks have been removed.
void DestroyProcessGlobals();
