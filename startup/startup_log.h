// Start-up's lines in the diagnostic log (platform/diagnostic_log.h): the
// DLL's path, the game executable and the game directory paths are keyed
// against, every archive mount with its entry count or why it failed, and
// the result of each hook transaction, naming the function whose hook failed.
//
// Each function does what start-up did before (commit, mount, end the game)
// and adds its lines only while the log is on; with the log off the cost is
// one check. They run on the thread that runs start-up, attach or detach.
#pragma once

#include <windows.h>

#include <string>

class OverlayRegistry;

// Starts the log when XP3PATCH_LOG names a file and writes what the patch
// was loaded as: first its version, then the DLL, the game executable, the
// game directory. A log file that cannot be opened is reported once on
// standard error (and again if the game ends for a missing archive).
void StartupLogAttach(HMODULE module);

// While the log is on, watches for the game's entry function: when the game
// has not called it a few seconds after the patch was loaded, the log says so
// once, since nothing is overlaid until then and a different executable is
// the likely cause. The watch holds a reference on the DLL until it fires or
// StartupLogEntryReached, which logs the call, ends it; a game that unloads
// the patch before either sees it unloaded when the watch fires.
void StartupLogWatchEntry();
void StartupLogEntryReached();

// A committed hook transaction's result in the log: `what` names the
// transaction ("attach", "file hooks", "detach"), `failed_slot` the slot at
// which a failed one stopped (null when none is known).
void LogHookTransaction(const char* what, DWORD result, PVOID* failed_slot);

// Why the patch stays loaded after FreeLibrary: its detach transaction
// failed (logged just before). `pin_error` is 0 when the DLL was pinned, or
// the error that kept it from being pinned.
void LogStayingLoaded(DWORD pin_error);

// Whether the DLL pinned itself at attach (`pin_error` 0) or why it could
// not.
void LogPinned(DWORD pin_error);

// A failed crash-handler registration: its box is put off until the game's
// entry function (deferred), and later shown (shown).
void LogRegistrationBoxDeferred();
void LogRegistrationBoxShown();

// OverlayRegistry::MountOrExit, with the archive's full path, its entry
// count (or why it could not be mounted, in words) in the log; a mount that
// ends the game is logged before the error box (ExitWithMountErrorLogged).
void MountOrExitLogged(OverlayRegistry& registry, const std::string& utf8_path);

// OverlayRegistry::ExitWithMountError after a log line giving `reason`,
// which also goes to the process's standard error (when it has one), so that
// a game without a display does not end silently.
[[noreturn]] void ExitWithMountErrorLogged(const std::string& utf8_path, const char* reason);

// The loose folder of XP3PATCH_DEV_DIR, laid over the archives: its path and
// how many files it adds and takes over (from archives, from the game
// directory), and each file it will not serve with the reason. The count
// walks the folder, so it is made only while the log is on.
void LogLooseFolderMounted(const OverlayRegistry& registry);

// A loose folder that is left out, and why: in the log and on standard
// error, since the translator who set the variable expects to see it.
void LogLooseFolderSkipped(const std::string& utf8_path, const std::string& problem);
