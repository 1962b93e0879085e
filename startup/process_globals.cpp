#include "startup/process_globals.h"

#include "crash/crash_client.h"

// Definition order is construction order; do not reorder.
CrashClient g_crash_client;
HookTable g_hook_table;
OverlayRegistry g_overlay_registry;
FindSessionSet g_find_sessions;
