#include "overlay/directory_index.h"

#include <unordered_set>

#include "overlay/path_strings.h"

const std::vector<DirectoryIndex::Child> DirectoryIndex::kEmpty;

namespace {

// Components of a path as relative paths see them: both separators, one
// trailing separator ignored, empty components dropped.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> pieces;
  for (std::string& piece : SplitString(ReplaceAll(path, "\\", "/"), "/")) {
    if (!piece.empty()) pieces.push_back(std::move(piece));
  }
  return pieces;
}

bool StartsWithDotDot(const std::string& s) { return s.size() >= 2 && s[0] == '.' && s[1] == '.'; }

bool IsDriveComponent(const std::string& s) {
  return s.size() == 2 && s[1] == ':' &&
         ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

// The folded key of components [begin, end).
std::string FoldedKey(const std::vector<std::string>& pieces, size_t begin, size_t end) {
  std::string key;
  for (size_t i = begin; i < end; ++i) {
    if (i > begin) key += '/';
    key += LowerAscii(pieces[i]);
  }
  return key;
}

}  // namespace

void DirectoryIndex::Build(const OverlayRegistry::PathIndex& index,
                           const std::string& base_directory) {
  directories_.clear();
  base_pieces_.clear();
  entries_outside_ = false;
  usable_ = IsDriveAbsolute(base_directory);
  if (!usable_) return;
  for (const std::string& piece : Components(base_directory))
    base_pieces_.push_back(LowerAscii(piece));

  std::unordered_map<std::string, std::unordered_set<std::string>> seen_directories;
  for (const auto& [key, indexed] : index) {
    const std::string full = JoinPath(base_directory, key);
    if (!IsDriveAbsolute(full)) {
      // A drive-relative key ("C:x") cannot be related to any directory and
      // is listed in every search; such archives are answered by the walk.
      usable_ = false;
      directories_.clear();
      return;
    }
    const std::vector<std::string> pieces = Components(full);
    // Only entries below the game directory can lie in a searched directory
    // inside it.
    if (pieces.size() < base_pieces_.size() ||
        FoldedKey(pieces, 0, base_pieces_.size()) !=
            FoldedKey(base_pieces_, 0, base_pieces_.size())) {
      entries_outside_ = true;
      continue;
    }
    const size_t first = base_pieces_.size();
    // Every directory from the game directory down to the entry's own path
    // sees the next component; the entry's own path sees itself as ".".
    for (size_t depth = first; depth <= pieces.size(); ++depth) {
      std::vector<Child>& children = directories_[FoldedKey(pieces, first, depth)];
      if (depth == pieces.size()) {
        children.push_back(Child{".", indexed.entry.unpacked_size, true});
        break;
      }
      const std::string& name = pieces[depth];
      const bool is_file = depth + 1 == pieces.size();
      // A relative path starting with ".." lies outside the searched
      // directory, and one starting with a drive is unrelated to it.
      if (StartsWithDotDot(name) || (!is_file && IsDriveComponent(name))) continue;
      if (is_file) {
        children.push_back(Child{name, indexed.entry.unpacked_size, true});
      } else if (seen_directories[FoldedKey(pieces, first, depth)]
                     .insert(LowerAscii(name))
                     .second) {
        children.push_back(Child{name, 0, false});
      }
    }
  }
}

bool DirectoryIndex::Lookup(const std::string& searched_directory,
                            const std::vector<Child>** children) const {
  if (!usable_ || !IsDriveAbsolute(searched_directory)) return false;
  const std::vector<std::string> pieces = Components(searched_directory);
  size_t common = 0;
  while (common < pieces.size() && common < base_pieces_.size() &&
         LowerAscii(pieces[common]) == base_pieces_[common]) {
    ++common;
  }
  if (common < base_pieces_.size()) {
    // The game directory's ancestors list its entries as subdirectories:
    // left to the walk. In any other directory outside the game directory,
    // entries below it get a relative form that starts with ".." or keeps
    // its drive, so they are never listed; only entries placed outside it
    // (a key with a drive or a leading separator) need the walk.
    if (common == pieces.size() || entries_outside_) return false;
    *children = &kEmpty;
    return true;
  }
  auto it = directories_.find(FoldedKey(pieces, base_pieces_.size(), pieces.size()));
  *children = it == directories_.end() ? &kEmpty : &it->second;
  return true;
}
