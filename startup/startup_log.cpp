#include "startup/startup_log.h"

#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include "hooking/hook_transaction.h"
#include "overlay/loose_folder.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_strings.h"
#include "platform/diagnostic_log.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "startup/file_hooks.h"
#include "startup/process_attach.h"
#include "startup/process_globals.h"
#include "xp3patch_version.h"

namespace {

// How long after loading the patch the game may take to call its entry
// function before the log remarks on it.
constexpr DWORD kEntryWatchMs = 3000;

std::atomic<bool> g_entry_reached{false};
// The watch: a pool timer that holds a reference on this DLL, so that the DLL
// cannot be unmapped under its callback. Set and cleared on the thread that
// runs attach or the entry function, or by the callback that ends it.
std::atomic<PTP_TIMER> g_entry_watch{nullptr};
HMODULE g_watch_module = nullptr;

// Writes `text` to the process's standard error, when it has one.
void WriteStandardError(const std::string& text) {
  HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  if (error_output == nullptr || error_output == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(error_output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The line that says why no log file appears, or "" when none was asked for
// or it opened.
std::string UnopenedLogLine() {
  const char* path = DiagnosticLogFailedPath();
  if (path[0] == '\0') return "";
  return std::string("xp3patch: cannot open the log file ") + path +
         " named by XP3PATCH_LOG: " + SystemErrorText(DiagnosticLogFailedError()) +
         "; no log is written\n";
}

VOID CALLBACK EntryWatchFired(PTP_CALLBACK_INSTANCE instance, PVOID, PTP_TIMER timer) {
  if (!g_entry_reached.load()) {
    DiagnosticLogWrite(
        "the game has not called its entry function (offset 0x%lX of the executable) %lu s "
        "after the patch was loaded: nothing is overlaid until it does; a different game "
        "executable or version is the likely cause",
        static_cast<unsigned long>(kGameEntryOffset),
        static_cast<unsigned long>(kEntryWatchMs / 1000));
  }
  // Whoever takes the timer out of the watch closes it and drops the DLL
  // reference; here that happens once this callback has returned.
  PTP_TIMER expected = timer;
  if (g_entry_watch.compare_exchange_strong(expected, nullptr)) {
    CloseThreadpoolTimer(timer);
    FreeLibraryWhenCallbackReturns(instance, g_watch_module);
  }
}

std::string Utf8(const std::wstring& wide) {
  std::string utf8;
  if (!ToUtf8(WideString(wide.begin(), wide.end()), &utf8)) return "(not valid UTF-16)";
  return utf8;
}

std::string ModulePath(HMODULE module) {
  WCHAR path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH + 1);
  return Utf8(std::wstring(path, length));
}

std::string FullPathOf(const std::wstring& path) {
  WCHAR full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return Utf8(path);
  return Utf8(std::wstring(full, length));
}

// Why an archive that failed to mount could not be: looked at from outside
// the archive layer, which only says yes or no.
std::string MountFailureReason(const std::string& utf8_path) {
  if (utf8_path.empty()) return "no archive name (the DLL's path is not valid UTF-16)";
  WideString wide;
  if (!FromUtf8(utf8_path, &wide)) return "the name is not valid UTF-8";
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "file not found";
    return "cannot be looked at: " + SystemErrorText(error);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a directory, not an archive";
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "cannot be opened: " + SystemErrorText(GetLastError());
  static const unsigned char kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20,
                                           0x0A, 0x1A, 0x8B, 0x67, 0x01};
  unsigned char head[11] = {};
  DWORD got = 0;
  const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
  const DWORD read_error = GetLastError();
  CloseHandle(file);
  if (!read) return "cannot be read: " + SystemErrorText(read_error);
  if (got < sizeof head) return "too short to be an XP3 archive";
  if (std::memcmp(head, kMagic, sizeof head) != 0) return "not an XP3 archive (wrong header)";
  return "its index is damaged, truncated or of a kind the patch does not read "
         "(xp3 verify tells more)";
}

}  // namespace

void StartupLogAttach(HMODULE module) {
  if (!DiagnosticLogStart()) {
    WriteStandardError(UnopenedLogLine());
    return;
  }
  DiagnosticLogWrite("xp3patch %s loaded in process %lu", XP3PATCH_VERSION,
                     static_cast<unsigned long>(GetCurrentProcessId()));
  DiagnosticLogWrite("patch DLL: %s", ModulePath(module).c_str());
  DiagnosticLogWrite("game executable: %s", ModulePath(nullptr).c_str());
  DiagnosticLogWrite("game directory (paths are keyed against it): %s",
                     TheOverlay().BaseDirectory().c_str());
}

void StartupLogWatchEntry() {
  if (!DiagnosticLogEnabled() || g_entry_watch.load() != nullptr) return;
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&EntryWatchFired), &self)) {
    return;
  }
  PTP_TIMER timer = CreateThreadpoolTimer(&EntryWatchFired, nullptr, nullptr);
  if (timer == nullptr) {
    FreeLibrary(self);
    return;
  }
  g_watch_module = self;
  g_entry_watch.store(timer);
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kEntryWatchMs) * 10000);
  FILETIME when;
  when.dwLowDateTime = due.LowPart;
  when.dwHighDateTime = due.HighPart;
  SetThreadpoolTimer(timer, &when, 0, 0);
}

void StartupLogEntryReached() {
  if (g_entry_reached.exchange(true)) return;
  DiagnosticLogWrite("entry function reached (offset 0x%lX): mounting the archives",
                     static_cast<unsigned long>(kGameEntryOffset));
  // The watch is over: the DLL's reference goes now, so that an unload by
  // the game is not held up by it. Not under the loader lock here.
  PTP_TIMER timer = g_entry_watch.exchange(nullptr);
  if (timer != nullptr) {
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
    FreeLibrary(g_watch_module);
  }
}

void LogHookTransaction(const char* what, DWORD result, PVOID* failed_slot) {
  if (!DiagnosticLogEnabled()) return;
  if (result == NO_ERROR) {
    DiagnosticLogWrite("hook transaction (%s): committed", what);
    if (std::string(what) == "attach" && TheHookTable().GameEntry == nullptr) {
      DiagnosticLogWrite(
          "no game function at offset 0x%lX of the executable: the archives "
          "will not be mounted in this process",
          static_cast<unsigned long>(kGameEntryOffset));
    }
  } else {
    const char* name = HookSlotName(failed_slot);
    DiagnosticLogWrite("hook transaction (%s): FAILED, nothing of it applied: %s%s%s", what,
                       SystemErrorText(result).c_str(), name != nullptr ? ", at " : "",
                       name != nullptr ? name : "");
  }
}

void LogStayingLoaded(DWORD pin_error) {
  if (!DiagnosticLogEnabled()) return;
  if (pin_error == NO_ERROR) {
    DiagnosticLogWrite(
        "unload: the hooks are still in place, so the patch DLL stays loaded and its "
        "archives mounted until the process ends");
  } else {
    DiagnosticLogWrite(
        "unload: the hooks are still in place, and the patch DLL could not be kept loaded "
        "(%s): hooked file functions lead into unloaded code",
        SystemErrorText(pin_error).c_str());
  }
}

void LogPinned(DWORD pin_error) {
  if (!DiagnosticLogEnabled()) return;
  if (pin_error == NO_ERROR) {
    DiagnosticLogWrite(
        "attach: the patch DLL keeps itself loaded until the process ends (FreeLibrary of it "
        "only lowers its count), since its hooks and exception filter lead into it");
  } else {
    DiagnosticLogWrite("attach: the patch DLL could not keep itself loaded: %s",
                       SystemErrorText(pin_error).c_str());
  }
}

void LogRegistrationBoxDeferred() {
  if (!DiagnosticLogEnabled()) return;
  DiagnosticLogWrite(
      "attach: no crash handler accepted the registration; its message box is shown when the "
      "game first calls its entry function, outside the loader lock");
}

void LogRegistrationBoxShown() {
  if (!DiagnosticLogEnabled()) return;
  DiagnosticLogWrite("start-up: showing the message box of the failed crash-handler registration");
}

void MountOrExitLogged(OverlayRegistry& registry, const std::string& utf8_path) {
  if (!DiagnosticLogEnabled()) {
    if (!registry.Mount(utf8_path)) {
      ExitWithMountErrorLogged(utf8_path, MountFailureReason(utf8_path).c_str());
    }
    return;
  }
  WideString wide;
  const std::string shown = FromUtf8(utf8_path, &wide) && !wide.empty()
                                ? FullPathOf(std::wstring(wide.begin(), wide.end()))
                                : utf8_path;
  const size_t paths_before = registry.Index().size();
  if (!registry.Mount(utf8_path)) {
    ExitWithMountErrorLogged(utf8_path, MountFailureReason(utf8_path).c_str());
  }
  // The new archive is the one the index names that no earlier mount noted.
  const Xp3Archive* archive = nullptr;
  size_t paths = 0;
  for (const OverlayRegistry::IndexedEntry& indexed : registry.Index()) {
    if (archive == nullptr && MountedArchiveName(indexed.archive) == "an archive") {
      archive = indexed.archive;
    }
    if (indexed.archive == archive) ++paths;
  }
  if (archive != nullptr) NoteMountedArchive(archive, shown);
  const size_t entries = archive != nullptr ? archive->entries().size() : 0;
  const size_t added = registry.Index().size() - paths_before;
  DiagnosticLogWrite("mounted %s: %zu %s; %zu new %s, %zu replacing earlier archives",
                     shown.c_str(), entries, entries == 1 ? "entry" : "entries", added,
                     added == 1 ? "path" : "paths", paths - added);
}

void ExitWithMountErrorLogged(const std::string& utf8_path, const char* reason) {
  // Named in full everywhere (log, console, box): "images.xp3" alone does not
  // say which folder a player should put it in.
  WideString wide;
  const std::string shown = FromUtf8(utf8_path, &wide) && !wide.empty()
                                ? FullPathOf(std::wstring(wide.begin(), wide.end()))
                                : utf8_path;
  DiagnosticLogWrite("cannot mount %s: %s; the game ends (error box, exit code 1)", shown.c_str(),
                     reason);
  // Where no box can be shown (no display), a console still hears why the
  // game ends, and why the log a team asked for holds nothing of it.
  WriteStandardError("xp3patch: cannot mount " + shown + ": " + reason + "\n" + UnopenedLogLine());
  OverlayRegistry::ExitWithMountError(shown);
}

void LogLooseFolderMounted(const OverlayRegistry& registry) {
  const LooseFolder* folder = registry.Loose();
  if (!DiagnosticLogEnabled() || folder == nullptr) return;
  // Refusals beyond these are counted, not named.
  constexpr size_t kNamedRefusals = 20;
  size_t files = 0;
  size_t over_archives = 0;
  size_t over_game = 0;
  std::vector<std::string> refusals;
  size_t refused = 0;
  const std::string base = registry.BaseDirectory();
  folder->ForEachFile(
      [&](const std::string& key) {
        ++files;
        if (registry.FindEntry(key) != nullptr || registry.Memory().count(key) != 0) {
          ++over_archives;
          return;
        }
        WideString game_path;
        if (FromUtf8(JoinPath(base, key), &game_path) &&
            RealFunctions().GetFileAttributesW(game_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
          ++over_game;
        }
      },
      [&](const std::string& what) {
        if (++refused <= kNamedRefusals) refusals.push_back(what);
      });
  const size_t added = files - over_archives - over_game;
  DiagnosticLogWrite(
      "loose folder %s (XP3PATCH_DEV_DIR) laid over the archives, read at every open: %zu %s; "
      "%zu new %s, %zu taking over (%zu from archives, %zu game %s)",
      folder->Path().c_str(), files, files == 1 ? "file" : "files", added,
      added == 1 ? "path" : "paths", over_archives + over_game, over_archives, over_game,
      over_game == 1 ? "file" : "files");
  for (const std::string& what : refusals) {
    DiagnosticLogWrite("loose folder: not served: %s", what.c_str());
  }
  if (refused > refusals.size()) {
    DiagnosticLogWrite("loose folder: %zu more not served", refused - refusals.size());
  }
}

void LogLooseFolderSkipped(const std::string& utf8_path, const std::string& problem) {
  DiagnosticLogWrite(
      "loose folder %s (XP3PATCH_DEV_DIR) left out: %s; the game goes on with the archives",
      utf8_path.c_str(), problem.c_str());
  WriteStandardError("xp3patch: loose folder " + utf8_path +
                     " (XP3PATCH_DEV_DIR) left out: " + problem + "\n");
}
