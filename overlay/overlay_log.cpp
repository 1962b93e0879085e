#include "overlay/overlay_log.h"

#include <array>
#include <cstdio>
#include <type_traits>

#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_key.h"
#include "overlay/path_strings.h"
#include "platform/text_conversion.h"

namespace {

// The names live in fixed storage, not in strings: a process that ends
// destroys the DLL's globals after its other threads were stopped anywhere,
// possibly inside the heap, so nothing here may free memory then.
struct NotedArchive {
  const Xp3Archive* archive;
  char name[768];
};
// Filled while start-up mounts, read-only once files are redirected.
std::array<NotedArchive, 32> g_noted;
static_assert(std::is_trivially_destructible_v<NotedArchive>);

// Copies `text` into `out`, cut at a character boundary when it is too long.
void CopyName(const std::string& text, char (&out)[768]) {
  size_t size = text.size() < sizeof out - 1 ? text.size() : sizeof out - 1;
  while (size < text.size() && size > 0 &&
         (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
    --size;
  }
  text.copy(out, size);
  out[size] = '\0';
}

// The caller's last error survives the conversions made for a line.
struct KeepLastError {
  DWORD code = GetLastError();
  ~KeepLastError() { SetLastError(code); }
};

// A key outside the game directory: one that climbs out of it, or a path
// that could not be made relative to it (another drive, a UNC name).
bool IsOutsideGame(const std::string_view key) {
  if (key.size() >= 2 && key[0] == '.' && key[1] == '.' && (key.size() == 2 || key[2] == '\\')) {
    return true;
  }
  if (!key.empty() && key[0] == '\\') return true;
  return key.size() >= 2 && key[1] == ':';
}

std::string Shown(const WCHAR* path) {
  std::string utf8;
  if (path == nullptr) return "(null)";
  if (!ToUtf8(WideString(path), &utf8)) return "(a name that is not valid UTF-16)";
  return utf8;
}

}  // namespace

void NoteMountedArchive(const Xp3Archive* archive, const std::string& utf8_path) {
  for (NotedArchive& noted : g_noted) {
    if (noted.archive == nullptr || noted.archive == archive) {
      noted.archive = archive;
      CopyName(utf8_path, noted.name);
      return;
    }
  }
}

std::string MountedArchiveName(const Xp3Archive* archive) {
  for (const NotedArchive& noted : g_noted) {
    if (noted.archive == archive) return std::string(noted.name);
  }
  return "an archive";
}

void WritePathLookup(const char* function, const WCHAR* path, bool answered) {
  KeepLastError keep;
  if (path == nullptr) return;
  const OverlayRegistry& registry = HostRegistry();
  PathKeyBuilder builder;
  if (!builder.Make(path, registry.BaseDirectory())) return;
  const std::string_view key = builder.key();
  if (IsOutsideGame(key)) return;
  const std::string shown = Shown(path);
  const std::string key_text(key);
  if (!answered) {
    DiagnosticLogWrite("%s %s: key %s: in no archive, passed to the system", function,
                       shown.c_str(), key_text.c_str());
    return;
  }
  if (const OverlayRegistry::IndexedEntry* entry = registry.FindEntry(key)) {
    const std::string entry_key(entry->archive->entries().key(entry->index));
    DiagnosticLogWrite("%s %s: key %s: answered by %s, entry %s", function, shown.c_str(),
                       key_text.c_str(), MountedArchiveName(entry->archive).c_str(),
                       entry_key.c_str());
  } else {
    DiagnosticLogWrite("%s %s: key %s: answered by the memory file", function, shown.c_str(),
                       key_text.c_str());
  }
}

void WriteDirectorySearch(const WCHAR* pattern, const std::string& directory,
                          size_t archive_records) {
  KeepLastError keep;
  const std::string relative = RelativePath(directory, HostRegistry().BaseDirectory());
  DiagnosticLogWrite("FindFirstFileExW %s: directory %s: %zu record%s added from archives",
                     Shown(pattern).c_str(), relative.c_str(), archive_records,
                     archive_records == 1 ? "" : "s");
}

void WriteLooseDirectorySearch(const WCHAR* pattern, const std::string& directory,
                               size_t archive_records, size_t loose_records) {
  KeepLastError keep;
  const std::string relative = RelativePath(directory, HostRegistry().BaseDirectory());
  DiagnosticLogWrite(
      "FindFirstFileExW %s: directory %s: %zu record%s added from archives, %zu from the loose "
      "folder",
      Shown(pattern).c_str(), relative.c_str(), archive_records, archive_records == 1 ? "" : "s",
      loose_records);
}
