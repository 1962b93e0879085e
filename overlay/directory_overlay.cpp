#include "overlay/directory_overlay.h"

#include <shlwapi.h>
#include <wchar.h>

#include <cstring>
#include <new>

#include "overlay/directory_index.h"
#include "overlay/find_session.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/path_strings.h"
#include "platform/text_conversion.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"

namespace {

bool StartsWithDotDot(const std::string& s) { return s.size() >= 2 && s[0] == '.' && s[1] == '.'; }

// A zeroed record with the name copied in. Names of MAX_PATH units or more
// (only archive names can be that long) are cut so the record stays
// terminated.
WIN32_FIND_DATAW MakeRecord(const std::wstring& name, DWORD attributes) {
  WIN32_FIND_DATAW record;
  std::memset(&record, 0, sizeof record);
  record.dwFileAttributes = attributes;
  const size_t length = name.size() < MAX_PATH - 1 ? name.size() : MAX_PATH - 1;
  std::memcpy(record.cFileName, name.data(), length * sizeof(wchar_t));
  return record;
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
    if (!FromUtf8(std::string(child.name), &name)) name.clear();
    if (!PathMatchSpecW(name.c_str(), pattern.c_str())) continue;
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
    if (StartsWithDotDot(relative) || IsDriveAbsolute(relative)) continue;
    const std::vector<std::string> pieces = SplitString(relative, "\\");
    std::wstring name;
    if (!FromUtf8(pieces[0], &name)) name.clear();
    if (!PathMatchSpecW(name.c_str(), pattern.c_str())) continue;
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

HANDLE WINAPI HookedFindFirstFileExW(LPCWSTR file_name, FINDEX_INFO_LEVELS info_level,
                                     LPVOID find_data, FINDEX_SEARCH_OPS search_op,
                                     LPVOID search_filter, DWORD additional_flags) {
  const RealFileFunctions& real = RealFunctions();
  std::string pattern;
  if (file_name == nullptr || !ToUtf8(file_name, &pattern)) pattern.clear();
  const std::string absolute = IsDriveAbsolute(pattern) ? pattern : FullPath(pattern);
  const std::string directory = DirectoryOf(absolute);
  if (file_name == nullptr ||
      StartsWithDotDot(RelativePath(directory, HostRegistry().BaseDirectory()))) {
    return real.FindFirstFileExW(file_name, info_level, find_data, search_op, search_filter,
                                 additional_flags);
  }

  // A directory that can receive no archive record is listed by the system
  // alone: its own find handle gives the same records in the same order,
  // without copying the whole listing first. Only the error of an empty
  // search is the overlay's.
  std::vector<DirectoryIndex::Child> children;
  const bool indexed = HostRegistry().Directories().Lookup(directory, &children);
  if (indexed && children.empty()) {
    HANDLE system = real.FindFirstFileExW(file_name, info_level, find_data, search_op,
                                          search_filter, additional_flags);
    LogDirectorySearch(file_name, directory, 0);
    if (system == INVALID_HANDLE_VALUE) SetLastError(ERROR_FILE_NOT_FOUND);
    return system;
  }

  std::vector<WIN32_FIND_DATAW> listing;
  HANDLE system = real.FindFirstFileExW(file_name, info_level, find_data, search_op, search_filter,
                                        additional_flags);
  if (system != INVALID_HANDLE_VALUE) {
    listing.push_back(*static_cast<WIN32_FIND_DATAW*>(find_data));
    WIN32_FIND_DATAW scratch;
    while (real.FindNextFileW(system, &scratch)) listing.push_back(scratch);
    real.FindClose(system);
  }

  std::wstring name_pattern;
  if (!FromUtf8(FileNameOf(absolute), &name_pattern)) name_pattern.clear();
  std::vector<WIN32_FIND_DATAW> archive =
      indexed ? RecordsOfChildren(children, name_pattern, listing)
              : WalkArchiveRecords(HostRegistry(), directory, name_pattern, listing);
  LogDirectorySearch(file_name, directory, archive.size());
  listing.insert(listing.end(), archive.begin(), archive.end());

  if (listing.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  FindSession* session = new (std::nothrow) FindSession;
  if (session == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  session->records = std::move(listing);
  std::memcpy(find_data, &session->records[0], sizeof(WIN32_FIND_DATAW));
  HostFindSessions().Insert(session);
  return static_cast<HANDLE>(session);
}
