#include "startup/startup_log.h"

#include <array>
#include <cstring>

#include "hooking/hook_transaction.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"
#include "platform/diagnostic_log.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "startup/file_hooks.h"
#include "startup/process_attach.h"
#include "startup/process_globals.h"

namespace {

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
  if (!DiagnosticLogStart()) return;
  DiagnosticLogWrite("patch DLL: %s", ModulePath(module).c_str());
  DiagnosticLogWrite("game executable: %s", ModulePath(nullptr).c_str());
  DiagnosticLogWrite("game directory (paths are keyed against it): %s",
                     TheOverlay().BaseDirectory().c_str());
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
  DiagnosticLogWrite("cannot mount %s: %s; the game ends (error box, exit code 1)",
                     utf8_path.c_str(), reason);
  // Where no box can be shown (no display), a console still hears why the
  // game ends.
  const std::string line = "xp3patch: cannot mount " + utf8_path + ": " + reason + "\n";
  HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error_output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  OverlayRegistry::ExitWithMountError(utf8_path);
}
