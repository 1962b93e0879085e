#include "overlay/directory_overlay.h"

#include <wchar.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "overlay/checked_text.h"
#include "overlay/directory_index.h"
#include "overlay/find_session.h"
#include "overlay/guarded_answer.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/loose_folder.h"
#include "overlay/path_strings.h"
#include "overlay/overlay_host.h"
#include "overlay/search_pattern.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"
#include "overlay/redirect_depth.h"

namespace {

// A zeroed record with the name copied in. Names of MAX_PATH units or more
// (only archive names can be that long) are cut so the record stays
// terminated, and never between the two halves of a surrogate pair.
WIN32_FIND_DATAW MakeRecord(const std::wstring& name, DWORD attributes) {
  WIN32_FIND_DATAW record;
  std::memset(&record, 0, sizeof record);
  record.dwFileAttributes = attributes;
  size_t length = name.size();
  if (length > MAX_PATH - 1) {
    length = MAX_PATH - 1;
    if (name[length - 1] >= 0xD800 && name[length - 1] <= 0xDBFF) --length;
  }
  std::memcpy(record.cFileName, name.data(), length * sizeof(wchar_t));
  return record;
}

// Name comparison of the path keys: ASCII letters folded, every other unit
// compared exactly, so that a listing drops the disk file that CreateFileW
// would no longer open.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

std::wstring FoldedName(const wchar_t* name) {
  std::wstring folded(name);
  for (wchar_t& c : folded) c = FoldAscii(c);
  return folded;
}

// Leaves out the system's file records that an archive file of the same name
// shadows: the archive's record, which comes later, stands for the name with
// the size that an open of it gives. Directory records stay as they are.
void DropShadowedFiles(std::vector<WIN32_FIND_DATAW>* system,
                       const std::vector<WIN32_FIND_DATAW>& archive) {
  std::vector<std::wstring> shadowing;
  for (const WIN32_FIND_DATAW& record : archive) {
    if (!(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      shadowing.push_back(FoldedName(record.cFileName));
    }
  }
  if (shadowing.empty()) return;
  std::sort(shadowing.begin(), shadowing.end());
  std::erase_if(*system, [&](const WIN32_FIND_DATAW& record) {
    return !(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           std::binary_search(shadowing.begin(), shadowing.end(), FoldedName(record.cFileName));
  });
}

// Drops every record, of either kind, that has the name of one of the
// folder's files.
void DropNamesOf(std::vector<WIN32_FIND_DATAW>* records,
                 const std::vector<WIN32_FIND_DATAW>& loose) {
  std::vector<std::wstring> names;
  for (const WIN32_FIND_DATAW& record : loose) {
    if (!(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      names.push_back(FoldedName(record.cFileName));
    }
  }
  if (names.empty()) return;
  std::sort(names.begin(), names.end());
  std::erase_if(*records, [&](const WIN32_FIND_DATAW& record) {
    return std::binary_search(names.begin(), names.end(), FoldedName(record.cFileName));
  });
}

bool HasRecord(const std::vector<WIN32_FIND_DATAW>& records, const WCHAR* name) {
  const std::wstring folded = FoldedName(name);
  for (const WIN32_FIND_DATAW& record : records) {
    if (FoldedName(record.cFileName) == folded) return true;
  }
  return false;
}

bool HasDirectoryRecord(const std::vector<WIN32_FIND_DATAW>& records, const std::wstring& name) {
  for (const WIN32_FIND_DATAW& record : records) {
    if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        _wcsicmp(record.cFileName, name.c_str()) == 0) {
      return true;
    }
  }
  return false;
}

// The records of a directory's archive children as the index gave them.
std::vector<WIN32_FIND_DATAW> RecordsOfChildren(
    const std::vector<DirectoryIndex::Child>& children, const std::wstring& pattern,
    const std::vector<WIN32_FIND_DATAW>& system_records) {
  std::vector<WIN32_FIND_DATAW> records;
  std::wstring name;
  for (const DirectoryIndex::Child& child : children) {
    if (!FromUtf8OrThrow(std::string(child.name), &name)) name.clear();
    if (!MatchesSearchPattern(name.c_str(), pattern.c_str())) continue;
    if (child.is_file) {
      WIN32_FIND_DATAW record = MakeRecord(name, FILE_ATTRIBUTE_ARCHIVE);
      record.nFileSizeHigh = static_cast<DWORD>(child.size >> 32);
      record.nFileSizeLow = static_cast<DWORD>(child.size);
      records.push_back(record);
    } else if (!HasDirectoryRecord(system_records, name)) {
      records.push_back(MakeRecord(name, FILE_ATTRIBUTE_DIRECTORY));
    }
  }
  return records;
}

}  // namespace

std::vector<WIN32_FIND_DATAW> ArchiveRecords(const OverlayRegistry& registry,
                                             const std::string& searched_directory,
                                             const std::wstring& pattern,
                                             const std::vector<WIN32_FIND_DATAW>& system_records) {
  std::vector<DirectoryIndex::Child> children;
  if (!registry.Directories().Lookup(searched_directory, &children)) {
    return WalkArchiveRecords(registry, searched_directory, pattern, system_records);
  }
  return RecordsOfChildren(children, pattern, system_records);
}

std::vector<WIN32_FIND_DATAW> WalkArchiveRecords(
    const OverlayRegistry& registry, const std::string& searched_directory,
    const std::wstring& pattern, const std::vector<WIN32_FIND_DATAW>& system_records) {
  std::vector<WIN32_FIND_DATAW> records;
  const std::string base = registry.BaseDirectory();
  for (const OverlayRegistry::IndexedEntry& indexed : registry.Index()) {
    const std::string relative =
        RelativePath(JoinPath(base, std::string(indexed.key)), searched_directory);
    if (BeginsWithParent(relative) || IsDriveAbsolute(relative)) continue;
    const std::vector<std::string> pieces = SplitString(relative, "\\");
    std::wstring name;
    if (!FromUtf8OrThrow(pieces[0], &name)) name.clear();
    if (!MatchesSearchPattern(name.c_str(), pattern.c_str())) continue;
    if (pieces.size() == 1) {
      WIN32_FIND_DATAW record = MakeRecord(name, FILE_ATTRIBUTE_ARCHIVE);
      const uint64_t size = indexed.size();
      record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      record.nFileSizeLow = static_cast<DWORD>(size);
      records.push_back(record);
    } else if (!HasDirectoryRecord(system_records, name) && !HasDirectoryRecord(records, name)) {
      records.push_back(MakeRecord(name, FILE_ATTRIBUTE_DIRECTORY));
    }
  }
  return records;
}

namespace {

// The system's find handle of one search, closed on every way out, so that a
// listing cut short by a failed allocation leaves no handle open.
class SystemSearch {
 public:
  SystemSearch(const RealFileFunctions& real, HANDLE handle) : real_(real), handle_(handle) {}
  ~SystemSearch() {
    if (handle_ != INVALID_HANDLE_VALUE) real_.FindClose(handle_);
  }
  SystemSearch(const SystemSearch&) = delete;
  SystemSearch& operator=(const SystemSearch&) = delete;
  HANDLE handle() const { return handle_; }

 private:
  const RealFileFunctions& real_;
  HANDLE handle_;
};

}  // namespace

HANDLE SearchAnswer(LPCWSTR file_name, FINDEX_INFO_LEVELS info_level, WIN32_FIND_DATAW* find_data,
                    FINDEX_SEARCH_OPS search_op, LPVOID search_filter, DWORD additional_flags,
                    const std::function<HANDLE()>& pass, bool* by_overlay) {
  *by_overlay = false;
  const RealFileFunctions& real = RealFunctions();
  std::string pattern;
  if (file_name == nullptr || !ToUtf8OrThrow(file_name, &pattern)) pattern.clear();
  const std::string absolute = IsDriveAbsolute(pattern) ? pattern : FullPath(pattern);
  const std::string directory = SearchedDirectoryOf(absolute);
  // A search outside the game directory (above it, or on another drive or
  // share, which RelativePath gives back unrelated) is the system's alone.
  const std::string relative_directory = RelativePath(directory, HostRegistry().BaseDirectory());
  if (file_name == nullptr || BeginsWithParent(relative_directory) ||
      IsDriveAbsolute(relative_directory) || relative_directory.rfind("\\\\", 0) == 0) {
    return pass();
  }

  // The loose folder's records of the same directory, when there is one.
  // Without one, the name pattern is converted only for archive records.
  std::wstring name_pattern;
  const LooseFolder* folder = HostRegistry().Loose();
  std::vector<WIN32_FIND_DATAW> loose;
  if (folder != nullptr) {
    if (!FromUtf8OrThrow(FileNameOf(absolute), &name_pattern)) name_pattern.clear();
    const std::string relative = RelativePath(directory, HostRegistry().BaseDirectory());
    if (relative == "." || LooseFolder::IsServableKey(relative)) {
      loose = folder->Records(relative, name_pattern.c_str());
    }
  }

  // A directory that can receive no archive record is listed by the system
  // alone: its own find handle gives the same records in the same order,
  // without copying the whole listing first. The error of an empty search
  // is the system's too (a folder missing from the disk is "path not
  // found"), unless the loose folder holds the directory and only the
  // pattern matched nothing there.
  std::vector<DirectoryIndex::Child> children;
  const bool indexed = HostRegistry().Directories().Lookup(directory, &children);
  if (indexed && children.empty() && loose.empty()) {
    HANDLE system = pass();
    LogDirectorySearch(file_name, directory, 0);
    if (system == INVALID_HANDLE_VALUE && folder != nullptr) {
      const DWORD error = GetLastError();
      const std::string relative = RelativePath(directory, HostRegistry().BaseDirectory());
      if (relative == "." || (LooseFolder::IsServableKey(relative) &&
                              folder->Look(relative).kind == LooseFolder::Kind::kDirectory)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
      } else {
        SetLastError(error);
      }
    }
    return system;
  }

  std::vector<WIN32_FIND_DATAW> listing;
  {
    SystemSearch system(real, real.FindFirstFileExW(file_name, info_level, find_data, search_op,
                                                    search_filter, additional_flags));
    if (system.handle() != INVALID_HANDLE_VALUE) {
      listing.push_back(*static_cast<WIN32_FIND_DATAW*>(find_data));
      WIN32_FIND_DATAW scratch;
      while (real.FindNextFileW(system.handle(), &scratch)) listing.push_back(scratch);
    }
  }

  if (folder == nullptr && !FromUtf8OrThrow(FileNameOf(absolute), &name_pattern)) {
    name_pattern.clear();
  }
  std::vector<WIN32_FIND_DATAW> archive =
      indexed ? RecordsOfChildren(children, name_pattern, listing)
              : WalkArchiveRecords(HostRegistry(), directory, name_pattern, listing);
  DropShadowedFiles(&listing, archive);
  if (folder != nullptr) {
    // The folder's files win over the disk's and the archives' records of
    // the same name, files or directories, as an open finds the folder's
    // file first; its directories join names that neither has.
    DropNamesOf(&listing, loose);
    DropNamesOf(&archive, loose);
    std::erase_if(loose, [&](const WIN32_FIND_DATAW& record) {
      return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
             (HasRecord(listing, record.cFileName) || HasRecord(archive, record.cFileName));
    });
    LogLooseDirectorySearch(file_name, directory, archive.size(), loose.size());
  } else {
    LogDirectorySearch(file_name, directory, archive.size());
  }
  listing.insert(listing.end(), archive.begin(), archive.end());
  listing.insert(listing.end(), loose.begin(), loose.end());

  if (listing.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto session = std::make_unique<FindSession>();
  session->records = std::move(listing);
  FindSession* handle = session.get();
  HostFindSessions().Insert(std::move(session));
  std::memcpy(find_data, &handle->records[0], sizeof(WIN32_FIND_DATAW));
  *by_overlay = true;
  return static_cast<HANDLE>(handle);
}

HANDLE WINAPI HookedFindFirstFileExW(LPCWSTR file_name, FINDEX_INFO_LEVELS info_level,
                                     LPVOID find_data, FINDEX_SEARCH_OPS search_op,
                                     LPVOID search_filter, DWORD additional_flags) {
  return GuardedAnswer(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().FindFirstFileExW(file_name, info_level, find_data, search_op,
                                              search_filter, additional_flags);
    };
    if (scope.nested()) return pass();
    bool by_overlay = false;
    return SearchAnswer(file_name, info_level, static_cast<WIN32_FIND_DATAW*>(find_data), search_op,
                        search_filter, additional_flags, pass, &by_overlay);
  });
}
