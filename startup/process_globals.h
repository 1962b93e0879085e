// The process-wide objects of the patch.
//
// They are defined together in one translation unit so that static
// initialisation constructs them, before DllMain runs, in a fixed order: the
// crash client, the hook table, the overlay registry (which fixes the game
// directory at that moment), then the find-session set. The runtime destroys
// them in reverse order after the last DllMain call, so the overlay closes its
// streams and archives only after the file hooks have been removed.
#pragma once

#include "overlay/find_session.h"
#include "overlay/overlay_registry.h"
#include "startup/hook_table.h"

class CrashClient;

extern CrashClient g_crash_client;
extern HookTable g_hook_table;
extern OverlayRegistry g_overlay_registry;
extern FindSessionSet g_find_sessions;

inline CrashClient& TheCrashClient() { return g_crash_client; }
inline HookTable& TheHookTable() { return g_hook_table; }
inline OverlayRegistry& TheOverlay() { return g_overlay_registry; }
inline FindSessionSet& TheFindSessions() { return g_find_sessions; }
