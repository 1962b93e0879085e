#include "overlay/overlay_log.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <type_traits>
#include <unordered_set>

#include "overlay/overlay_host.h"
#include "overlay/near_miss.h"
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

// The keys a near miss was looked for already: a game that asks for a
// missing file again and again gets its hint once. Made on first use and
// never freed, like the names above, and only ever while the log is on.
struct HintedKeys {
  std::mutex lock;
  std::unordered_set<std::string> folded;
};
HintedKeys& Hinted() {
  static HintedKeys* const hinted = new HintedKeys;
  return *hinted;
}

// Whether `key` names something on disk in the game directory, asked of the
// real function so that the overlay does not answer for its own entries.
bool OnDisk(const OverlayRegistry& registry, std::string_view key) {
  if (g_overlay_host.real == nullptr) return false;
  WideString path;
  if (!FromUtf8(registry.BaseDirectory() + "\\" + std::string(key), &path)) return false;
  return RealFunctions().GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names the archive entry whose name is nearest to `key` (see near_miss.h),
// once per key. An entry that replaces a file on disk is no near miss: it is
// where it belongs, and the game simply asked for another file.
void WriteNearMiss(const OverlayRegistry& registry, std::string_view key) {
  std::string folded(key);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  {
    HintedKeys& hinted = Hinted();
    std::lock_guard<std::mutex> guard(hinted.lock);
    if (!hinted.folded.insert(std::move(folded)).second) return;
  }
  const OverlayRegistry::IndexedEntry* best = nullptr;
  NearMiss best_miss;
  for (const OverlayRegistry::IndexedEntry& entry : registry.Index()) {
    const NearMiss miss = CompareNearMiss(key, entry.key);
    if (miss.kind == NearMissKind::kNone) continue;
    if (best != nullptr && miss.Rank() >= best_miss.Rank()) continue;
    if (OnDisk(registry, entry.key)) continue;
    best = &entry;
    best_miss = miss;
  }
  if (best == nullptr) return;
  const std::string key_text(key);
  const std::string entry_key(best->archive->entries().key(best->index));
  DiagnosticLogWrite(
      "near miss: %s is in no archive, but %s holds %s (%s); rename one of them "
      "if they are meant to be the same file",
      key_text.c_str(), MountedArchiveName(best->archive).c_str(), entry_key.c_str(),
      DescribeNearMiss(best_miss, key, best->key).c_str());
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
    WriteNearMiss(registry, key);
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
