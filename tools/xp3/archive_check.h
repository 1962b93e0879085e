// What a set of archives, mounted in order, does to a game directory: which
// entries replace game files (with both sizes), which add files, which are
// hidden by a later archive, which names the game can never reach, and which
// names differ from the game file they replace only in letter case.
//
// The rules are the patch's: entry names use '/' or '\' alike; the game's
// paths are looked up without regard to ASCII letter case; a later archive
// (and, within one archive, a later entry) wins a name. A name with an empty,
// "." or ".." component, or with a drive or root prefix, is never what the
// game asks for. Plain values in, plain values out; no file access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CheckedEntry {
  CheckedEntry() = default;
  CheckedEntry(std::string entry_name, uint64_t entry_size, std::string refusal = std::string())
      : name(std::move(entry_name)), size(entry_size), refused(std::move(refusal)) {}

  std::string name;  // as the index spells it (UTF-8)
  uint64_t size = 0;
  // Why the patch refuses to serve it although the name could be asked for
  // (a loose folder's link that leads out of it); empty for archive entries.
  std::string refused;
};

struct CheckedArchive {
  CheckedArchive() = default;
  CheckedArchive(std::string archive_name, std::vector<CheckedEntry> archive_entries,
                 bool is_loose_folder = false)
      : name(std::move(archive_name)),
        entries(std::move(archive_entries)),
        loose_folder(is_loose_folder) {}

  std::string name;  // how the archive is named in reports
  std::vector<CheckedEntry> entries;
  bool loose_folder = false;  // the loose folder laid over the archives
};

struct GameFile {
  std::string name;  // relative to the game directory, '/' separators
  uint64_t size = 0;
};

enum class CheckKind { kReplaces, kAdds, kHidden, kUnreachable };

struct CheckFinding {
  CheckKind kind = CheckKind::kAdds;
  size_t archive = 0;  // index into the archives
  size_t entry = 0;    // index into that archive's entries
  std::string name;
  uint64_t size = 0;
  // kReplaces: the game file's spelling and size; `case_differs` when the
  // spellings differ in letter case only.
  std::string game_name;
  uint64_t game_size = 0;
  bool case_differs = false;
  // kHidden and case shadows: the archive and name that win instead.
  size_t winner_archive = 0;
  std::string winner_name;
  // kUnreachable: why, in words.
  std::string reason;
};

struct CheckSummary {
  size_t entries = 0;
  size_t replaces = 0;
  size_t adds = 0;
  size_t hidden = 0;
  size_t unreachable = 0;
  size_t case_differs = 0;
};

struct CheckReport {
  std::vector<CheckFinding> findings;  // in mount order, then index order
  CheckSummary summary;
};

CheckReport CheckArchives(const std::vector<CheckedArchive>& archives,
                          const std::vector<GameFile>& game_files);

// Why the game can never ask for `name`, or empty when it can.
std::string UnreachableReason(const std::string& name);

const char* CheckKindName(CheckKind kind);
