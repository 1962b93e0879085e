// Merging archive entries into directory listings.
//
// A search inside the game directory gets the system's records followed by a
// record for every archive entry lying directly in the searched directory and
// one directory record for every subdirectory that exists only because
// archive entries lie below it, each filtered by the search's name pattern.
// Searches outside the game directory go to the system untouched.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "overlay/overlay_registry.h"

// The archive records for a search of `searched_directory` (UTF-8,
// drive-absolute) with the wide name pattern `pattern`, in index order.
// `system_records` is the system's listing of the same search, consulted so
// that a subdirectory that exists on disk is not listed a second time.
std::vector<WIN32_FIND_DATAW> ArchiveRecords(const OverlayRegistry& registry,
                                             const std::string& searched_directory,
                                             const std::wstring& pattern,
                                             const std::vector<WIN32_FIND_DATAW>& system_records);
