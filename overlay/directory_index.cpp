#include "overlay/directory_index.h"

#include <algorithm>

#include "overlay/path_strings.h"

namespace {

constexpr uint32_t kKindShift = 30;
constexpr uint32_t kRefMask = (1u << kKindShift) - 1;
constexpr uint32_t kFile = 0u << kKindShift;
constexpr uint32_t kDirectory = 1u << kKindShift;
constexpr uint32_t kSelf = 2u << kKindShift;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool FoldedEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool IsDriveComponent(std::string_view s) {
  return s.size() == 2 && s[1] == ':' &&
         ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

bool HasDrive(std::string_view s) {
  return s.size() >= 2 && s[1] == ':' &&
         ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

bool IsDriveAbsoluteKey(std::string_view s) {
  return HasDrive(s) && s.size() >= 3 && IsSeparator(s[2]);
}

// Components of a path as relative paths see them: both separators, empty
// components dropped. True when an empty component was dropped.
bool SplitComponents(std::string_view path, std::vector<std::string_view>* pieces) {
  pieces->clear();
  bool dropped = false;
  size_t begin = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    if (i > begin) {
      pieces->push_back(path.substr(begin, i - begin));
    } else {
      dropped = true;
    }
    begin = i + 1;
  }
  return dropped;
}

// A key in plain form ("a\b\c": relative, no drive, no empty component) is
// the joined form of its own components, so the entry whose path is a
// searched directory can be found in the path index instead of being stored
// as that directory's "." record.
bool IsPlainKey(std::string_view key) {
  if (key.empty() || HasDrive(key) || IsSeparator(key[0]) || IsSeparator(key.back())) return false;
  for (size_t i = 1; i < key.size(); ++i) {
    if (IsSeparator(key[i]) && IsSeparator(key[i - 1])) return false;
  }
  return true;
}

std::string_view LastComponent(std::string_view key) {
  size_t end = key.size();
  while (end > 0 && IsSeparator(key[end - 1])) --end;
  size_t begin = end;
  while (begin > 0 && !IsSeparator(key[begin - 1])) --begin;
  return key.substr(begin, end - begin);
}

uint32_t NodeHash(uint32_t parent, std::string_view name) {
  uint32_t h = 0x811C9DC5u ^ (parent * 0x9E3779B1u);
  for (char c : name) {
    h ^= static_cast<unsigned char>(Fold(c));
    h *= 0x01000193u;
  }
  return h;
}

}  // namespace

void DirectoryIndex::Clear() {
  index_ = nullptr;
  usable_ = false;
  entries_outside_ = false;
  base_pieces_.clear();
  std::vector<Node>().swap(nodes_);
  std::vector<Item>().swap(items_);
  std::vector<DirectoryName>().swap(directory_names_);
  std::vector<Slot>().swap(slots_);
}

uint32_t DirectoryIndex::FindNode(uint32_t parent, std::string_view name) const {
  if (slots_.empty()) return kNone;
  const uint32_t hash = NodeHash(parent, name);
  const size_t mask = slots_.size() - 1;
  for (size_t at = hash & mask; slots_[at].node != 0; at = (at + 1) & mask) {
    const Node& node = nodes_[slots_[at].node - 1];
    if (slots_[at].hash == hash && node.parent == parent && FoldedEqual(node.name, name)) {
      return slots_[at].node - 1;
    }
  }
  return kNone;
}

uint32_t DirectoryIndex::FindOrAddNode(uint32_t parent, std::string_view name) {
  if ((nodes_.size() + 1) * 5 > slots_.size() * 4) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0});
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.node == 0) continue;
      size_t at = slot.hash & mask;
      while (slots_[at].node != 0) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }
  const uint32_t hash = NodeHash(parent, name);
  const size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  for (; slots_[at].node != 0; at = (at + 1) & mask) {
    const Node& node = nodes_[slots_[at].node - 1];
    if (slots_[at].hash == hash && node.parent == parent && FoldedEqual(node.name, name)) {
      return slots_[at].node - 1;
    }
  }
  nodes_.push_back(Node{name, parent});
  slots_[at] = Slot{hash, static_cast<uint32_t>(nodes_.size())};
  return static_cast<uint32_t>(nodes_.size() - 1);
}

void DirectoryIndex::Append(uint32_t node, uint32_t ref) {
  const uint32_t item = static_cast<uint32_t>(items_.size());
  items_.push_back(Item{ref, kNone});
  Node& n = nodes_[node];
  if (n.last_item == kNone) {
    n.first_item = item;
  } else {
    items_[n.last_item].next = item;
  }
  n.last_item = item;
}

void DirectoryIndex::Build(const OverlayRegistry::PathIndex& index,
                           const std::string& base_directory) {
  Clear();
  index_ = &index;
  usable_ = IsDriveAbsolute(base_directory);
  if (!usable_) return;
  std::vector<std::string_view> pieces;
  SplitComponents(base_directory, &pieces);
  for (std::string_view piece : pieces) base_pieces_.push_back(LowerAscii(std::string(piece)));
  const size_t base_count = base_pieces_.size();
  // Whether the key's pieces, standing at `first_key_piece` in the full
  // path, continue with the rest of the game directory's pieces.
  auto below_base = [&](size_t first_key_piece) {
    for (size_t i = first_key_piece; i < base_count; ++i) {
      if (!FoldedEqual(pieces[i - first_key_piece], base_pieces_[i])) return false;
    }
    return true;
  };

  nodes_.push_back(Node{std::string_view(), kNone});
  items_.reserve(index.size() + index.size() / 8 + 16);

  // Consecutive keys mostly share their directories: the nodes of the
  // previous key's directory pieces are reused for as long as the bytes
  // agree, which gives the same nodes and listings as looking them up again.
  std::vector<uint32_t> directory_nodes;
  std::string_view previous_key;
  size_t previous_directories = 0;

  for (uint32_t entry = 0; entry < index.size(); ++entry) {
    const std::string_view key = index[entry].key;
    const bool dropped_empty = SplitComponents(key, &pieces);
    size_t skip = 0;  // key pieces that stand for the game directory itself
    bool plain_form = false;
    bool relative = false;
    if (key.empty()) {
      // The game directory itself.
    } else if (HasDrive(key)) {
      if (!IsDriveAbsoluteKey(key)) {
        // A drive-relative key ("C:x") cannot be related to any directory
        // and is listed in every search; such archives are answered by the
        // walk.
        Clear();
        return;
      }
      // Only entries below the game directory can lie in a searched
      // directory inside it.
      if (pieces.size() < base_count || !below_base(0)) {
        entries_outside_ = true;
        previous_directories = 0;
        continue;
      }
      skip = base_count;
    } else if (IsSeparator(key[0])) {
      // Rooted: on the game directory's drive, whose piece is its first.
      if (pieces.size() + 1 < base_count || !below_base(1)) {
        entries_outside_ = true;
        previous_directories = 0;
        continue;
      }
      skip = base_count - 1;
    } else {
      relative = true;
      plain_form = !dropped_empty;
    }
    const size_t count = pieces.size() - skip;
    const std::string_view* rel = pieces.data() + skip;

    size_t reused = 0;
    if (relative && previous_directories > 0) {
      const size_t limit = std::min(key.size(), previous_key.size());
      size_t common = 0;
      while (common < limit && key[common] == previous_key[common]) ++common;
      while (reused < previous_directories && reused + 1 < count &&
             static_cast<size_t>(rel[reused].data() + rel[reused].size() - key.data()) < common) {
        ++reused;
      }
    }
    if (directory_nodes.size() < count) directory_nodes.resize(count);

    // Every directory from the game directory down to the entry's own path
    // sees the next component; the entry's own path sees itself as ".".
    uint32_t node = reused > 0 ? directory_nodes[reused - 1] : 0;
    for (size_t depth = reused; depth < count; ++depth) {
      const std::string_view name = rel[depth];
      if (depth + 1 == count) {
        // A relative path whose first component is ".." lies outside the
        // searched directory; "..name" is an ordinary name.
        if (name != "..") Append(node, kFile | entry);
        node = plain_form ? kNone : FindOrAddNode(node, name);
        break;
      }
      const uint32_t child = FindOrAddNode(node, name);
      if (nodes_[child].first_below == kNone) nodes_[child].first_below = entry;
      // ... and one starting with a drive is unrelated to it.
      if (name != ".." && !IsDriveComponent(name) && !nodes_[child].listed) {
        nodes_[child].listed = true;
        directory_names_.push_back(DirectoryName{name, entry});
        Append(node, kDirectory | static_cast<uint32_t>(directory_names_.size() - 1));
      }
      directory_nodes[depth] = child;
      node = child;
    }
    // A key in plain form is found in the path index when its path is
    // searched; any other keeps its "." record here.
    if (node != kNone) Append(node, kSelf | entry);
    previous_key = key;
    previous_directories = relative && count > 0 ? count - 1 : 0;
  }
}

DirectoryIndex::Child DirectoryIndex::ChildOf(uint32_t ref) const {
  const uint32_t kind = ref & ~kRefMask;
  const uint32_t at = ref & kRefMask;
  if (kind == kDirectory) return Child{directory_names_[at].name, 0, false};
  const OverlayRegistry::IndexedEntry& indexed = (*index_)[at];
  if (kind == kSelf) return Child{".", indexed.size(), true};
  return Child{LastComponent(indexed.key), indexed.size(), true};
}

bool DirectoryIndex::Lookup(const std::string& searched_directory,
                            std::vector<Child>* children) const {
  if (!usable_ || !IsDriveAbsolute(searched_directory)) return false;
  std::vector<std::string_view> pieces;
  SplitComponents(searched_directory, &pieces);
  size_t common = 0;
  while (common < pieces.size() && common < base_pieces_.size() &&
         FoldedEqual(pieces[common], base_pieces_[common])) {
    ++common;
  }
  if (common < base_pieces_.size()) {
    // The game directory's ancestors list its entries as subdirectories:
    // left to the walk. In any other directory outside the game directory,
    // entries below it get a relative form that starts with ".." or keeps
    // its drive, so they are never listed; only entries placed outside it
    // (a key with a drive or a leading separator) need the walk.
    if (common == pieces.size() || entries_outside_) return false;
    children->clear();
    return true;
  }
  children->clear();
  uint32_t node = 0;
  std::string relative;
  for (size_t i = base_pieces_.size(); i < pieces.size(); ++i) {
    if (node != kNone) node = FindNode(node, pieces[i]);
    if (!relative.empty()) relative += '\\';
    relative.append(pieces[i]);
  }
  // The entry whose plain key is the searched path: its "." record goes
  // where its place in the order puts it.
  uint32_t self = kNone;
  if (!relative.empty()) {
    const OverlayRegistry::IndexedEntry* found = index_->Find(relative);
    if (found != nullptr && IsPlainKey(found->key)) {
      self = static_cast<uint32_t>(found - &(*index_)[0]);
    }
  }
  for (uint32_t item = node == kNone ? kNone : nodes_[node].first_item; item != kNone;
       item = items_[item].next) {
    const uint32_t ref = items_[item].ref;
    const uint32_t order =
        (ref & ~kRefMask) == kDirectory ? directory_names_[ref & kRefMask].entry : (ref & kRefMask);
    if (self != kNone && self < order) {
      children->push_back(ChildOf(kSelf | self));
      self = kNone;
    }
    children->push_back(ChildOf(ref));
  }
  if (self != kNone) children->push_back(ChildOf(kSelf | self));
  return true;
}

DirectoryIndex::Answer DirectoryIndex::FindDirectory(std::string_view key, uint32_t* entry) const {
  if (!usable_) return Answer::kUnknown;
  // A key with a drive, or a rooted, UNC or long-path one, names nothing
  // inside the game directory; nor does one that leads out of it.
  if (key.empty() || HasDrive(key) || IsSeparator(key[0])) return Answer::kNo;
  std::vector<std::string_view> pieces;
  SplitComponents(key, &pieces);
  if (pieces.empty() || pieces[0] == "..") return Answer::kNo;
  uint32_t node = 0;
  for (std::string_view piece : pieces) {
    node = FindNode(node, piece);
    if (node == kNone) return Answer::kNo;
  }
  if (nodes_[node].first_below == kNone) return Answer::kNo;
  *entry = nodes_[node].first_below;
  return Answer::kYes;
}
