#include "overlay/loose_answers.h"

#include <cstring>
#include <string>

#include "overlay/loose_folder.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_key.h"
#include "platform/diagnostic_log.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"

namespace {

using Kind = LooseFolder::Kind;

// The key of a game path, or false when the folder cannot hold it (no key,
// or one outside the game directory): those cost no look at the disk.
bool KeyOf(const WCHAR* path, PathKeyBuilder* builder) {
  return path != nullptr && builder->Make(path, HostRegistry().BaseDirectory()) &&
         LooseFolder::IsServableKey(builder->key());
}

// The log's line for a path the folder answered or refused; nothing for a
// path the folder does not hold (the archives' line follows). Leaves the
// last error as it was. A line that cannot be made for lack of memory is
// left out: the answer, and the handle it may carry, still reach the game.
void WriteProbe(const char* function, const WCHAR* path, std::string_view key,
                const LooseFolder::Probe& probe);
void LogProbe(const char* function, const WCHAR* path, std::string_view key,
              const LooseFolder::Probe& probe) noexcept {
  if (!DiagnosticLogEnabled() || probe.kind == Kind::kAbsent) return;
  const DWORD error = GetLastError();
  try {
    WriteProbe(function, path, key, probe);
  } catch (...) {
  }
  SetLastError(error);
}

void WriteProbe(const char* function, const WCHAR* path, std::string_view key,
                const LooseFolder::Probe& probe) {
  std::string shown;
  if (!ToUtf8(WideString(path), &shown)) shown = "(a name that is not valid UTF-16)";
  const std::string key_text(key);
  switch (probe.kind) {
    case Kind::kFile:
    case Kind::kDirectory:
      DiagnosticLogWrite("%s %s: key %s: answered by the loose folder, %s", function, shown.c_str(),
                         key_text.c_str(), probe.loose_path.c_str());
      break;
    case Kind::kFailed:
      DiagnosticLogWrite(
          "%s %s: key %s: the loose folder's %s is there but cannot be opened: %s; the game "
          "gets error %lu",
          function, shown.c_str(), key_text.c_str(), probe.loose_path.c_str(),
          SystemErrorText(probe.error).c_str(), static_cast<unsigned long>(probe.error));
      break;
    case Kind::kRefused:
      DiagnosticLogWrite(
          "%s %s: key %s: the loose folder's %s is not served: %s; the archives and the disk "
          "answer instead",
          function, shown.c_str(), key_text.c_str(), probe.loose_path.c_str(), probe.why.c_str());
      break;
    case Kind::kAbsent:
      break;
  }
}

// GetFileAttributesExW's answer from a probe of a file or directory.
BOOL AttributesExAnswer(const LooseFolder::Probe& probe, GET_FILEEX_INFO_LEVELS level,
                        void* information) {
  if (level != GetFileExInfoStandard || information == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(information, &probe.attributes, sizeof probe.attributes);
  return TRUE;
}

// The folder's answer for a file it serves or that failed: `served()` with
// the caller's last error kept, or `failed` with the system's error. False
// (the last error kept) when the archives and the disk answer instead.
template <typename T, typename Served>
bool Answer(const LooseFolder::Probe& probe, DWORD error, Served served, T failed, T* out) {
  if (probe.kind == Kind::kFile) {
    SetLastError(error);  // before served(), which may set its own
    *out = served();
    return true;
  }
  if (probe.kind == Kind::kFailed) {
    *out = failed;
    SetLastError(probe.error);
    return true;
  }
  SetLastError(error);
  return false;
}

}  // namespace

bool LooseCreateFile(const LooseFolder& folder, const WCHAR* path, DWORD flags, HANDLE* handle) {
  PathKeyBuilder builder;
  if (!KeyOf(path, &builder)) return false;
  const DWORD error = GetLastError();
  const LooseFolder::Probe probe = folder.OpenFile(builder.key(), flags);
  LogProbe("CreateFileW", path, builder.key(), probe);
  return Answer(
      probe, error, [&] { return probe.handle; }, INVALID_HANDLE_VALUE, handle);
}

bool LooseFileAttributes(const LooseFolder& folder, const WCHAR* path, DWORD* attributes) {
  PathKeyBuilder builder;
  if (!KeyOf(path, &builder)) return false;
  const DWORD error = GetLastError();
  const LooseFolder::Probe probe = folder.Look(builder.key());
  if (probe.kind == Kind::kDirectory) {
    SetLastError(error);
    return false;  // the disk's directory, or the folder's after the disk and the archives
  }
  LogProbe("GetFileAttributesW", path, builder.key(), probe);
  return Answer(
      probe, error, [&] { return probe.attributes.dwFileAttributes; },
      static_cast<DWORD>(INVALID_FILE_ATTRIBUTES), attributes);
}

bool LooseFileAttributesEx(const LooseFolder& folder, const WCHAR* path,
                           GET_FILEEX_INFO_LEVELS level, void* information, BOOL* result) {
  PathKeyBuilder builder;
  if (!KeyOf(path, &builder)) return false;
  const DWORD error = GetLastError();
  const LooseFolder::Probe probe = folder.Look(builder.key());
  if (probe.kind == Kind::kDirectory) {
    SetLastError(error);
    return false;
  }
  LogProbe("GetFileAttributesExW", path, builder.key(), probe);
  return Answer(
      probe, error, [&] { return AttributesExAnswer(probe, level, information); }, BOOL{FALSE},
      result);
}

bool LooseHasFile(const LooseFolder& folder, const char* function, const WCHAR* path) {
  PathKeyBuilder builder;
  if (!KeyOf(path, &builder)) return false;
  const DWORD error = GetLastError();
  const LooseFolder::Probe probe = folder.Look(builder.key());
  SetLastError(error);
  if (probe.kind == Kind::kDirectory) return false;
  LogProbe(function, path, builder.key(), probe);
  return probe.kind == Kind::kFile || probe.kind == Kind::kFailed;
}

bool LooseDirectoryAttributesEx(const LooseFolder& folder, const WCHAR* path,
                                GET_FILEEX_INFO_LEVELS level, void* information, BOOL* result) {
  PathKeyBuilder builder;
  if (!KeyOf(path, &builder)) return false;
  const DWORD error = GetLastError();
  const LooseFolder::Probe probe = folder.Look(builder.key());
  SetLastError(error);
  if (probe.kind != Kind::kDirectory) return false;
  *result = AttributesExAnswer(probe, level, information);
  return true;
}
