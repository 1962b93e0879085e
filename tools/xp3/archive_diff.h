// What changed between two releases of an archive, entry by entry, as the
// game sees it: the entries added, removed, and changed in size or Adler-32
// (the values each index records; the data is not read), or only in how the
// name is spelled. Names are matched as the patch looks them up: '/' and '\'
// alike, ASCII letter case folded, and within one archive the later of two
// entries of one name is the one served. Plain values in, plain values out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DiffEntry {
  std::string name;  // as the index spells it (UTF-8)
  uint64_t size = 0;
  uint32_t checksum = 0;  // Adler-32 from the index
};

enum class DiffKind { kAdded, kRemoved, kChanged };

struct DiffItem {
  DiffKind kind = DiffKind::kAdded;
  // The entry on each side; `old_entry` is unused for kAdded, `new_entry`
  // for kRemoved.
  DiffEntry old_entry;
  DiffEntry new_entry;

  bool SizeChanged() const { return old_entry.size != new_entry.size; }
  bool ChecksumChanged() const { return old_entry.checksum != new_entry.checksum; }
  bool SpellingChanged() const { return old_entry.name != new_entry.name; }
  // The name to show: the new spelling, or the old one for a removed entry.
  const std::string& name() const {
    return kind == DiffKind::kRemoved ? old_entry.name : new_entry.name;
  }
};

struct DiffReport {
  std::vector<DiffItem> items;  // ordered by name as the game looks it up
  size_t added = 0;
  size_t removed = 0;
  size_t changed = 0;
  size_t unchanged = 0;

  bool Same() const { return items.empty(); }
};

DiffReport DiffArchives(const std::vector<DiffEntry>& old_entries,
                        const std::vector<DiffEntry>& new_entries);

const char* DiffKindName(DiffKind kind);
