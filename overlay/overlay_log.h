// The overlay's lines in the diagnostic log: for each path inside the game
// directory that the game asks about, the key it was looked up under and
// whether an archive answered (and which archive and entry), and for each
// directory search there, how many archive (and loose folder) records joined
// the listing. What the loose folder answers is logged by loose_answers.cpp.
// A path that no archive holds gets, once, a line naming the archive entry
// whose name is nearest to it (near_miss.h), when one is near and replaces no
// file on disk: the misnamed translation file a team is looking for.
//
// The Log* wrappers cost one check while the log is off; they return their
// `answered` argument so that a replacement can log inside its routing test
// without changing it. Nothing here changes a result or the last error.
// Mount names are noted by start-up before any file function is redirected
// and only read afterwards.
#pragma once

#include <cstddef>
#include <string>

#include "platform/diagnostic_log.h"
#include "platform/platform.h"

class Xp3Archive;

// Remembers the name `archive` was mounted under, for the lines that name
// the archive that answered. Start-up only; later archives beyond a few
// dozen are named by their address.
void NoteMountedArchive(const Xp3Archive* archive, const std::string& utf8_path);
// The name noted for `archive`, or "an archive" when none was.
std::string MountedArchiveName(const Xp3Archive* archive);

void WritePathLookup(const char* function, const WCHAR* path, bool answered);
void WriteDirectorySearch(const WCHAR* pattern, const std::string& directory,
                          size_t archive_records);

inline bool LogPathLookup(const char* function, const WCHAR* path, bool answered) {
  if (DiagnosticLogEnabled()) WritePathLookup(function, path, answered);
  return answered;
}

// `directory` is the searched directory as an absolute UTF-8 path.
inline void LogDirectorySearch(const WCHAR* pattern, const std::string& directory,
                               size_t archive_records) {
  if (DiagnosticLogEnabled()) WriteDirectorySearch(pattern, directory, archive_records);
}

// The same line for a search made while a loose folder is laid over the
// archives: how many of its records joined the listing as well.
void WriteLooseDirectorySearch(const WCHAR* pattern, const std::string& directory,
                               size_t archive_records, size_t loose_records);
inline void LogLooseDirectorySearch(const WCHAR* pattern, const std::string& directory,
                                    size_t archive_records, size_t loose_records) {
  if (DiagnosticLogEnabled()) {
    WriteLooseDirectorySearch(pattern, directory, archive_records, loose_records);
  }
}
