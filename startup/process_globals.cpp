#include "startup/process_globals.h"

#include "crash/crash_client.h"

// Definition order is construction order; do not reorder.
CrashClient g_crash_client;
HookTable g_hook_table;
OverlayRegistry g_overlay_registry;
FindSessionSet g_find_sessions;

// The replacement functions reach these objects through the overlay's host,
// installed right after them in the same static initialisation.
static const bool g_overlay_host_installed = [] {
  SetOverlayHost({&g_overlay_registry, &g_find_sessions, &g_hook_table.file});
  return true;
}();
