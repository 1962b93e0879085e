#include "overlay/loose_folder.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <utility>

#include "overlay/overlay_host.h"
#include "overlay/search_pattern.h"
#include "overlay/path_key.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Directories deeper than this are not walked for the start-up count.
constexpr int kMaxDepth = 64;

// Errors that mean nothing by that name is there.
bool IsAbsentError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME || error == ERROR_DIRECTORY ||
         error == ERROR_FILENAME_EXCED_RANGE;
}

// Errors that a file of the folder gives the game as its own: the file is
// there, but another program holds it or it may not be read. Any other error
// (a folder on a share that went away, a card that was pulled, a link the
// system cannot follow) says nothing about the game's file: the archives and
// the disk answer, as for a file the folder does not have.
bool IsFileError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Whether a reparse point of this tag stands for another name (a symbolic
// link, a junction): such a one is refused without being followed.
bool IsLinkTag(DWORD tag) { return (tag & 0x20000000) != 0; }

std::string Utf8(const WideString& wide) {
  std::string utf8;
  if (!ToUtf8(wide, &utf8)) return "(a name that is not valid UTF-16)";
  return utf8;
}

// A resolved name as people write it: without the "\\?\" prefix.
WideString Shown(const WideString& resolved) {
  static const WCHAR kUnc[] = L"\\\\?\\UNC\\";
  static const WCHAR kLong[] = L"\\\\?\\";
  if (resolved.compare(0, 8, kUnc) == 0) return L"\\\\" + resolved.substr(8);
  if (resolved.compare(0, 4, kLong) == 0) return resolved.substr(4);
  return resolved;
}

// The system's resolved name of an open file or directory (links and
// junctions followed, names as the file system spells them), or false.
bool ResolvedName(const RealFileFunctions& real, HANDLE handle, WideString* name) {
  WCHAR buffer[MAX_PATH * 2];
  DWORD length = real.GetFinalPathNameByHandleW(handle, buffer, MAX_PATH * 2, 0);
  if (length == 0) return false;
  if (length < MAX_PATH * 2) {
    name->assign(buffer, length);
    return true;
  }
  WideString larger(length, L'\0');
  const DWORD again = real.GetFinalPathNameByHandleW(handle, larger.data(), length, 0);
  if (again == 0 || again >= length) return false;
  larger.resize(again);
  *name = std::move(larger);
  return true;
}

// A handle the folder opened, closed on every way out (a failed allocation
// on the way included) unless it is handed on to the game.
class OpenedHandle {
 public:
  OpenedHandle(const RealFileFunctions& real, HANDLE handle) : real_(real), handle_(handle) {}
  ~OpenedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) real_.CloseHandle(handle_);
  }
  OpenedHandle(const OpenedHandle&) = delete;
  OpenedHandle& operator=(const OpenedHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  const RealFileFunctions& real_;
  HANDLE handle_;
};

// A search the folder started, closed on every way out.
class OpenedSearch {
 public:
  OpenedSearch(const RealFileFunctions& real, HANDLE handle) : real_(real), handle_(handle) {}
  ~OpenedSearch() {
    if (handle_ != INVALID_HANDLE_VALUE) real_.FindClose(handle_);
  }
  OpenedSearch(const OpenedSearch&) = delete;
  OpenedSearch& operator=(const OpenedSearch&) = delete;
  HANDLE get() const { return handle_; }

 private:
  const RealFileFunctions& real_;
  HANDLE handle_;
};

void DropTrailingSeparators(WideString* path) {
  // "D:\" keeps its separator: "D:" alone is the drive's current directory.
  while (path->size() > 1 && (path->back() == L'\\' || path->back() == L'/') &&
         !(path->size() == 3 && (*path)[1] == L':')) {
    path->pop_back();
  }
}

}  // namespace

std::unique_ptr<LooseFolder> LooseFolder::Open(const WideString& path,
                                               const RealFileFunctions* real,
                                               std::string* problem) {
  WCHAR buffer[MAX_PATH * 2];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
  if (path.empty() || length == 0 || length >= MAX_PATH * 2) {
    *problem = "the name cannot be made a full path";
    return nullptr;
  }
  WideString root(buffer, length);
  DropTrailingSeparators(&root);
  const DWORD attributes = real->GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    *problem = IsAbsentError(error) ? "it does not exist"
                                    : "it cannot be looked at: " + SystemErrorText(error);
    return nullptr;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *problem = "it is not a directory";
    return nullptr;
  }
  WideString resolved;
  {
    const OpenedHandle handle(
        *real, real->CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      *problem = "it cannot be opened: " + SystemErrorText(GetLastError());
      return nullptr;
    }
    if (!ResolvedName(*real, handle.get(), &resolved)) {
      *problem = "its resolved name cannot be had: " + SystemErrorText(GetLastError());
      return nullptr;
    }
  }
  // Every file's resolved name is compared with this one followed by '\'
  // ("\\?\D:\" for a drive root loses its separator too).
  while (!resolved.empty() && (resolved.back() == L'\\' || resolved.back() == L'/')) {
    resolved.pop_back();
  }
  // A folder that cannot be listed cannot be read either.
  WIN32_FIND_DATAW data;
  const OpenedSearch search(*real,
                            real->FindFirstFileExW((root + L"\\*").c_str(), FindExInfoBasic, &data,
                                                   FindExSearchNameMatch, nullptr, 0));
  if (search.get() == INVALID_HANDLE_VALUE) {
    *problem = "it cannot be listed: " + SystemErrorText(GetLastError());
    return nullptr;
  }
  std::string shown = Utf8(root);
  if (root.size() == 3 && root[1] == L':') root.pop_back();  // joined with '\' below
  return std::unique_ptr<LooseFolder>(
      new LooseFolder(std::move(root), std::move(resolved), std::move(shown), real));
}

bool LooseFolder::HoldsDirectory(const std::string& directory) const {
  WideString spelled;
  if (!FromUtf8(directory, &spelled)) return false;
  WideString resolved;
  {
    const OpenedHandle handle(
        *real_, real_->CreateFileW(spelled.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE || !ResolvedName(*real_, handle.get(), &resolved)) {
      resolved = spelled;
    }
  }
  while (!resolved.empty() && (resolved.back() == L'\\' || resolved.back() == L'/')) {
    resolved.pop_back();
  }
  const WideString& folder = resolved == spelled ? root_ : resolved_root_;
  // The file system's own comparison of names ignores case for every
  // letter, not only ASCII ("CompareStringOrdinal function").
  const auto prefix_length = static_cast<int>(folder.size());
  if (resolved.size() < folder.size() ||
      (resolved.size() > folder.size() && resolved[folder.size()] != L'\\')) {
    return false;
  }
  return CompareStringOrdinal(resolved.c_str(), prefix_length, folder.c_str(), prefix_length,
                              TRUE) == CSTR_EQUAL;
}

bool LooseFolder::IsServableKey(std::string_view key) {
  if (key.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(key.find('\\', start), key.size());
    const std::string_view part = key.substr(start, end - start);
    // Empty, "." and ".." components, and names the system would trim
    // (trailing dots and blanks) or read as a pattern, a stream or a drive.
    if (part.empty() || part.back() == '.' || part.back() == ' ') return false;
    for (const char c : part) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || std::strchr(":*?\"<>|/", c) != nullptr) return false;
    }
    if (end == key.size()) return true;
    start = end + 1;
  }
}

bool LooseFolder::LoosePath(std::string_view key, WideString* path) const {
  WideString relative;
  if (!FromUtf8(std::string(key), &relative)) return false;
  path->reserve(root_.size() + 1 + relative.size());
  *path = root_;
  path->push_back(L'\\');
  path->append(relative);
  return true;
}

bool LooseFolder::IsFileOfFolder(HANDLE handle, std::string_view key, std::string* why) const {
  WideString resolved;
  if (!ResolvedName(*real_, handle, &resolved)) {
    *why = "its resolved name cannot be had: " + SystemErrorText(GetLastError());
    return false;
  }
  const size_t root = resolved_root_.size();
  if (resolved.size() <= root + 1 || resolved.compare(0, root, resolved_root_) != 0 ||
      resolved[root] != L'\\') {
    *why = "it leads outside the folder, to " + Utf8(Shown(resolved));
    return false;
  }
  std::string relative;
  if (!ToUtf8(resolved.substr(root + 1), &relative) || !PathKeyEqual(relative, key)) {
    *why = "the system finds it as " + Utf8(Shown(resolved)) +
           ", a name an archive entry would not match (a link, a short name, or a letter case "
           "outside ASCII)";
    return false;
  }
  return true;
}

bool LooseFolder::IsLink(const WideString& path, DWORD attributes, Probe* probe) const {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  // The tag comes with a listing of the name itself.
  WIN32_FIND_DATAW data;
  const OpenedSearch search(*real_, real_->FindFirstFileExW(path.c_str(), FindExInfoBasic, &data,
                                                            FindExSearchNameMatch, nullptr, 0));
  if (search.get() == INVALID_HANDLE_VALUE || !IsLinkTag(data.dwReserved0)) return false;
  probe->kind = Kind::kRefused;
  probe->why = "it is a link or junction, which the folder does not follow";
  return true;
}

bool LooseFolder::CheckPlace(const WideString& path, std::string_view key, Probe* probe) const {
  const OpenedHandle handle(
      *real_, real_->CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    probe->kind = IsFileError(error) ? Kind::kFailed : Kind::kAbsent;
    probe->error = IsFileError(error) ? error : 0;
    return false;
  }
  const bool own = IsFileOfFolder(handle.get(), key, &probe->why);
  if (!own) probe->kind = Kind::kRefused;
  return own;
}

LooseFolder::Probe LooseFolder::Look(std::string_view key) const {
  Probe probe;
  WideString path;
  if (!IsServableKey(key) || !LoosePath(key, &path)) return probe;
  // The cheap question first: most paths the game asks about are not in
  // the folder.
  if (!real_->GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &probe.attributes)) {
    const DWORD error = GetLastError();
    if (IsFileError(error)) {
      probe.kind = Kind::kFailed;
      probe.error = error;
      probe.loose_path = Utf8(path);
    }
    return probe;
  }
  probe.loose_path = Utf8(path);
  if (IsLink(path, probe.attributes.dwFileAttributes, &probe)) return probe;
  if (CheckPlace(path, key, &probe)) {
    probe.kind = (probe.attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::kDirectory
                                                                                : Kind::kFile;
  }
  return probe;
}

LooseFolder::Probe LooseFolder::OpenFile(std::string_view key, DWORD flags) const {
  Probe probe;
  WideString path;
  if (!IsServableKey(key) || !LoosePath(key, &path)) return probe;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!real_->GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
    const DWORD error = GetLastError();
    if (!IsFileError(error)) return probe;
    // Something there that cannot even be looked at: the open says more.
  } else if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return probe;  // the folder serves files; a directory opens elsewhere
  } else if (IsLink(path, attributes.dwFileAttributes, &probe)) {
    probe.loose_path = Utf8(path);
    return probe;
  }
  probe.loose_path = Utf8(path);
  constexpr DWORD kKept = FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN |
                          FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_NO_BUFFERING;
  OpenedHandle handle(
      *real_, real_->CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | (flags & kKept), nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (!IsFileError(error)) return Probe();  // removed meanwhile, or not the file's fault
    // A file that is there but will not open for reading, unless it is a
    // link that leads out, which is not the folder's to report.
    if (!CheckPlace(path, key, &probe) && probe.kind != Kind::kFailed) return probe;
    probe.kind = Kind::kFailed;
    probe.error = error;
    return probe;
  }
  if (!IsFileOfFolder(handle.get(), key, &probe.why)) {
    probe.kind = Kind::kRefused;
    return probe;
  }
  probe.kind = Kind::kFile;
  probe.handle = handle.Release();
  return probe;
}

std::vector<WIN32_FIND_DATAW> LooseFolder::Records(std::string_view directory_key,
                                                   const WCHAR* pattern) const {
  std::vector<WIN32_FIND_DATAW> records;
  const bool top = directory_key == ".";
  WideString directory = root_;
  if (!top) {
    if (Look(directory_key).kind != Kind::kDirectory) return records;
    LoosePath(directory_key, &directory);
  }
  WIN32_FIND_DATAW data;
  const OpenedSearch search(
      *real_, real_->FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &data,
                                      FindExSearchNameMatch, nullptr, 0));
  if (search.get() == INVALID_HANDLE_VALUE) return records;
  std::string name;
  std::string key;
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) {
      continue;
    }
    if (!MatchesSearchPattern(data.cFileName, pattern) ||
        !ToUtf8(WideString(data.cFileName), &name)) {
      continue;
    }
    key = top ? name : std::string(directory_key) + "\\" + name;
    if (!IsServableKey(key)) continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(data.dwReserved0)) {
      continue;
    }
    Probe probe;
    WideString path = directory;
    path.push_back(L'\\');
    path.append(data.cFileName);
    if (!CheckPlace(path, key, &probe)) continue;
    // Opening by the short name would not find the file: keys are long names.
    std::memset(data.cAlternateFileName, 0, sizeof data.cAlternateFileName);
    records.push_back(data);
  } while (real_->FindNextFileW(search.get(), &data));
  return records;
}

void LooseFolder::ForEachFile(const std::function<void(const std::string& key)>& visit,
                              const std::function<void(const std::string& what)>& refused) const {
  Visit(".", visit, refused, 0);
}

void LooseFolder::Visit(const std::string& directory_key,
                        const std::function<void(const std::string& key)>& visit,
                        const std::function<void(const std::string& what)>& refused,
                        int depth) const {
  const bool top = directory_key == ".";
  WideString directory = root_;
  if (!top) LoosePath(directory_key, &directory);
  // The subdirectories are walked after this directory's search is closed.
  std::vector<std::string> directories;
  {
    WIN32_FIND_DATAW data;
    const OpenedSearch search(
        *real_, real_->FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &data,
                                        FindExSearchNameMatch, nullptr, 0));
    if (search.get() == INVALID_HANDLE_VALUE) return;
    std::string name;
    do {
      if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) {
        continue;
      }
      if (!ToUtf8(WideString(data.cFileName), &name)) {
        refused(Utf8(directory) + "\\(a name that is not valid UTF-16): not served");
        continue;
      }
      const std::string key = top ? name : directory_key + "\\" + name;
      if (!IsServableKey(key)) {
        refused(Utf8(directory) + "\\" + name + ": a name the game cannot ask for");
        continue;
      }
      const Probe probe = Look(key);
      if (probe.kind == Kind::kFile) {
        visit(key);
      } else if (probe.kind == Kind::kDirectory) {
        directories.push_back(key);
      } else if (probe.kind == Kind::kRefused) {
        refused(probe.loose_path + ": " + probe.why);
      } else if (probe.kind == Kind::kFailed) {
        refused(probe.loose_path + ": cannot be looked at: " + SystemErrorText(probe.error));
      }
    } while (real_->FindNextFileW(search.get(), &data));
  }
  if (depth + 1 >= kMaxDepth) return;
  for (const std::string& key : directories) Visit(key, visit, refused, depth + 1);
}
