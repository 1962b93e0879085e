// Merging archive entries into directory listings.
//
// A search inside the game directory gets the system's records followed by a
// record for every archive entry lying directly in the searched directory and
// one directory record for every subdirectory that exists only because
// archive entries lie below it, each filtered by the search's name pattern.
// A disk file that an archive file of the same name (ASCII case folded)
// shadows is left out, so that each name is listed once, with the size that
// opening it gives.
// When a loose folder is laid over the archives (loose_folder.h), its records
// of the searched directory come last: its files take the place of the disk's
// and the archives' files of the same name, and its directories are added
// where neither has one.
// Searches outside the game directory go to the system untouched.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "overlay/overlay_registry.h"

// Starts a search of `file_name` for any form of FindFirstFile. Inside the
// game directory the overlay merges the listing and hands out a FindSession:
// its first record goes to `find_data` and `by_overlay` is set. Everywhere
// else `pass`, which runs the caller's own form of the real function with the
// caller's own buffer, answers, and its result reaches the caller untouched.
HANDLE SearchAnswer(LPCWSTR file_name, FINDEX_INFO_LEVELS info_level, WIN32_FIND_DATAW* find_data,
                    FINDEX_SEARCH_OPS search_op, LPVOID search_filter, DWORD additional_flags,
                    const std::function<HANDLE()>& pass, bool* by_overlay);

// The archive records for a search of `searched_directory` (UTF-8) with the
// wide name pattern `pattern`, in index order. `system_records` is the
// system's listing of the same search, consulted so that a subdirectory that
// exists on disk is not listed a second time. Answered from the registry's
// directory index when it can; otherwise by walking every entry.
std::vector<WIN32_FIND_DATAW> ArchiveRecords(const OverlayRegistry& registry,
                                             const std::string& searched_directory,
                                             const std::wstring& pattern,
                                             const std::vector<WIN32_FIND_DATAW>& system_records);

// The same records from a walk over every entry of the path index.
std::vector<WIN32_FIND_DATAW> WalkArchiveRecords(
    const OverlayRegistry& registry, const std::string& searched_directory,
    const std::wstring& pattern, const std::vector<WIN32_FIND_DATAW>& system_records);
