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
// directory's list keeps the index's order. An entry's own path, searched as
// a directory, lists the entry itself as ".".
//
// Built once the archives are mounted; read-only afterwards, so any thread
// may look up. Names are views into the path index's keys, and an entry costs
// one small item in its directory's list: no allocation per entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "overlay/overlay_registry.h"

class DirectoryIndex {
 public:
  struct Child {
    std::string_view name;  // UTF-8 component, as spelled in the first entry that named it
    uint64_t size;          // unpacked size for a file; 0 for a directory
    bool is_file;
  };

  // Rebuilds the index from `index` for the game directory `base_directory`.
  // `index` must outlive the directory index (lookups read it).
  void Build(const OverlayRegistry::PathIndex& index, const std::string& base_directory);

  // Replaces `*children` with the archive children of `searched_directory`
  // (drive-absolute, UTF-8), in listing order, before pattern filtering.
  // None for a directory outside the game directory. False when the index
  // cannot answer for that directory (the game directory is not
  // drive-absolute, or the directory is one of its ancestors, or lies
  // outside it while some entry's path leads outside it too); the caller
  // then walks the entries.
  bool Lookup(const std::string& searched_directory, std::vector<Child>* children) const;

  enum class Answer { kNo, kYes, kUnknown };
  // Whether the path key (as MakePathKey makes it) names a directory that
  // archive entries lie below, as listings show it: kYes with `*entry` set to
  // the first such entry (its place in the path index). kUnknown when the
  // index cannot answer (see Lookup); the caller then walks the entries.
  Answer FindDirectory(std::string_view key, uint32_t* entry) const;

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  // A directory below the game directory, or the own path of an entry whose
  // key is not in plain form (see Build). Matched by parent and folded name.
  struct Node {
    std::string_view name;
    uint32_t parent;
    uint32_t first_item = kNone;
    uint32_t last_item = kNone;
    bool listed = false;           // its directory record is in the parent's list
    uint32_t first_below = kNone;  // the first entry below it; kNone if none is
  };
  // One record of a directory's list. The kind sits in the top bits of
  // `ref`: a file or "." refers to its entry in the path index, a directory
  // to its record in directory_names_.
  struct Item {
    uint32_t ref;
    uint32_t next;  // the next item of the same directory, kNone at the end
  };
  struct DirectoryName {
    std::string_view name;
    uint32_t entry;  // the entry that named it first: its place in the order
  };
  struct Slot {
    uint32_t hash;
    uint32_t node;  // index in nodes_ plus one; 0 marks a free slot
  };

  void Clear();
  uint32_t FindNode(uint32_t parent, std::string_view name) const;
  uint32_t FindOrAddNode(uint32_t parent, std::string_view name);
  void Append(uint32_t node, uint32_t ref);
  Child ChildOf(uint32_t ref) const;

  const OverlayRegistry::PathIndex* index_ = nullptr;
  bool usable_ = false;
  bool entries_outside_ = false;          // some entry's path is not below the game directory
  std::vector<std::string> base_pieces_;  // folded components of the game directory
  std::vector<Node> nodes_;               // nodes_[0]: the game directory
  std::vector<Item> items_;
  std::vector<DirectoryName> directory_names_;
  std::vector<Slot> slots_;  // nodes by parent and folded name; a power of two
};
