#include "startup/process_globals.h"

#include "crash/crash_client.h"

namespace {

// Definition order is construction order; do not reorder.
ProcessObject<CrashClient> g_crash_client;
ProcessObject<HookTable> g_hook_table;
ProcessObject<OverlayRegistry> g_overlay_registry;
ProcessObject<FindSessionSet> g_find_sessions;

// The replacement functions reach these objects through the overlay's host,
// installed right after them in the same static initialisation.
const bool g_overlay_host_installed = [] {
  SetOverlayHost({&g_overlay_registry.get(), &g_find_sessions.get(), &g_hook_table.get().file});
  return true;
}();

}  // namespace

CrashClient& TheCrashClient() { return g_crash_client.get(); }
HookTable& TheHookTable() { return g_hook_table.get(); }
OverlayRegistry& TheOverlay() { return g_overlay_registry.get(); }
FindSessionSet& TheFindSessions() { return g_find_sessions.get(); }

void DestroyProcessGlobals() {
  static_cast<void>(g_overlay_host_installed);
  g_find_sessions.Destroy();
  g_overlay_registry.Destroy();
  g_hook_table.Destroy();
  g_crash_client.Destroy();
}
