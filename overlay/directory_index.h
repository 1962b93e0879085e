// The archive side of directory listings, precomputed per directory.
//
// A listing of a directory inside the game directory needs, for that one
// directory, the archive entries lying directly in it and the subdirectories
// that exist only because entries lie below them. Walking every entry of
// every archive for each search makes a search cost grow with the size of the
// archives; this index answers from the searched directory's own list, so a
// search costs what that directory holds.
//
// It gives exactly the records of the walk over the path index (same names,
// attributes, sizes and order): entries are split into path components the
// way relative paths are formed (both separators, empty components dropped,
// "." and ".." kept as names, ASCII case folded for matching), and a
// directory's list keeps the index's order. Built once the archives are
// mounted; read-only afterwards, so any thread may look up.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "overlay/overlay_registry.h"

class DirectoryIndex {
 public:
  struct Child {
    std::string name;  // UTF-8 component, as spelled in the first entry that named it
    uint64_t size;     // unpacked size for a file; 0 for a directory
    bool is_file;
  };

  // Rebuilds the index from `index` for the game directory `base_directory`.
  void Build(const OverlayRegistry::PathIndex& index, const std::string& base_directory);

  // The archive children of `searched_directory` (drive-absolute, UTF-8), in
  // listing order, before pattern filtering; none for a directory outside
  // the game directory. False when the index cannot answer for that
  // directory (the game directory is not drive-absolute, or the directory
  // lies outside it while some entry's path leads outside it too); the
  // caller then walks the entries.
  bool Lookup(const std::string& searched_directory, const std::vector<Child>** children) const;

 private:
  bool usable_ = false;
  bool entries_outside_ = false;          // some entry's path is not below the game directory
  std::vector<std::string> base_pieces_;  // folded components of the game directory
  std::unordered_map<std::string, std::vector<Child>> directories_;  // folded relative key
  static const std::vector<Child> kEmpty;
};
