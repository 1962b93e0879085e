#include "tools/xp3/archive_diff.h"

#include <algorithm>
#include <map>

namespace {

// The name as the patch looks it up.
std::string LookupKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// The entry served for each name; a later entry of the same name replaces
// an earlier one, as in the patch's index.
std::map<std::string, const DiffEntry*> Served(const std::vector<DiffEntry>& entries) {
  std::map<std::string, const DiffEntry*> served;
  for (const DiffEntry& entry : entries) served[LookupKey(entry.name)] = &entry;
  return served;
}

}  // namespace

const char* DiffKindName(DiffKind kind) {
  switch (kind) {
    case DiffKind::kAdded:
      return "added";
    case DiffKind::kRemoved:
      return "removed";
    case DiffKind::kChanged:
      return "changed";
  }
  return "?";
}

DiffReport DiffArchives(const std::vector<DiffEntry>& old_entries,
                        const std::vector<DiffEntry>& new_entries) {
  const std::map<std::string, const DiffEntry*> before = Served(old_entries);
  const std::map<std::string, const DiffEntry*> after = Served(new_entries);
  DiffReport report;
  auto old_it = before.begin();
  auto new_it = after.begin();
  // Both maps are ordered by key: one merge pass pairs them up.
  while (old_it != before.end() || new_it != after.end()) {
    DiffItem item;
    if (new_it == after.end() || (old_it != before.end() && old_it->first < new_it->first)) {
      item.kind = DiffKind::kRemoved;
      item.old_entry = *old_it->second;
      ++old_it;
      ++report.removed;
    } else if (old_it == before.end() || new_it->first < old_it->first) {
      item.kind = DiffKind::kAdded;
      item.new_entry = *new_it->second;
      ++new_it;
      ++report.added;
    } else {
      item.kind = DiffKind::kChanged;
      item.old_entry = *old_it->second;
      item.new_entry = *new_it->second;
      ++old_it;
      ++new_it;
      if (!item.SizeChanged() && !item.ChecksumChanged() && !item.SpellingChanged()) {
        ++report.unchanged;
        continue;
      }
      ++report.changed;
    }
    report.items.push_back(std::move(item));
  }
  return report;
}
