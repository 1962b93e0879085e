// The spine of the patch: what happens when the DLL is attached, when the
// game first enters its GameEntry function, and when the DLL is detached.
//
// Attach registers with the crash handler (when "CRASHPAD_PIPE_NAME" is set),
// blocks the game from replacing the unhandled-exception filter and redirects
// GameEntry. The first GameEntry call mounts the archives and redirects the
// file functions (file_hooks.h); later calls only pass through. Detach removes
// exactly the hooks that are live. Each of these hook transactions enlists
// every other thread of the process, and a failed one is logged. Once a hook
// or the crash client's filter is live, the DLL pins itself: FreeLibrary
// then leaves it loaded, and detach runs only when the process ends.
// Nothing under the loader lock shows a window: a failed registration's box
// waits for the game's first GameEntry call.
#pragma once

#include <windows.h>

#include <functional>

// Offset of the game's GameEntry function from the executable's base.
inline constexpr DWORD kGameEntryOffset = 0x12A090;

void ProcessAttach(HMODULE module);
// True when every hook that was live has been removed.
bool ProcessDetach();
// After a detach that failed although the DLL was not pinned (the pin failed
// at attach): logs that hooked functions may lead into unloaded code; the
// caller keeps the process-wide objects alive.
void StayLoadedAfterFailedDetach();
// Shows, once, the message box that attach put off (a failed crash-handler
// registration). Runs on the game's thread, outside the loader lock.
void ShowDeferredMessages();
void DeferredStartup(HMODULE module);

// One hook transaction of the patch: opens it, enlists every other thread of
// the process (the engine suspends them only while it writes code), runs
// `queue` to queue the attaches or detaches, and commits. A failure is
// logged with the stage, the failed slot's name and the error, so that a
// team can find out why nothing was overlaid; players see nothing. Returns
// true when the commit succeeded.
bool RunHookTransaction(const char* stage, const std::function<void()>& queue);

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
HookedSetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);
DWORD WINAPI HookedGameEntry(DWORD a, DWORD b, DWORD c, DWORD d);
