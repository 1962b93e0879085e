// Near misses: a name that is almost the path the game asked for. The
// commonest reason a translated file is not overlaid is its name: one
// letter off ("chapter01.txt" for "chapter1.txt"), another extension, or
// the whole translation packed one folder too deep or too shallow. The log
// (overlay_log.cpp) and `xp3 check` name such a file instead of saying only
// that nothing matched.
//
// Names are compared as path keys compare: '/' and '\' alike, ASCII letters
// folded. What counts as near, from nearest:
//   - the same folder and a last component 1 or 2 edits apart (insert,
//     delete, replace, swap of neighbours; 2 only for names of 5 or more
//     characters, where two edits still leave most of the name);
//   - the same folder and stem, another extension (or none);
//   - the same path with one extra top folder, or without its top folder.
// Plain strings in, plain values out; a search keeps its own copy of the
// best candidate so far.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class NearMissKind { kNone, kSpelling, kExtension, kExtraTopFolder, kMissingTopFolder };

struct NearMiss {
  NearMissKind kind = NearMissKind::kNone;
  int edits = 0;  // kSpelling: 1 or 2
  // Smaller is nearer; 0 for kNone.
  int Rank() const;
};

// How `candidate` is near `wanted`; kNone when it is not near, or when the
// two are the same key (the lookup itself would have found it).
NearMiss CompareNearMiss(std::string_view wanted, std::string_view candidate);

// "1 letter apart", "another extension", "inside the extra top folder
// translation", "without the top folder data": what the log and the tool
// say of a near miss of `wanted` by `candidate`.
std::string DescribeNearMiss(const NearMiss& miss, std::string_view wanted,
                             std::string_view candidate);

// The nearest of the candidates offered, the first one offered on a tie.
class NearMissSearch {
 public:
  explicit NearMissSearch(std::string_view wanted) : wanted_(wanted) {}

  // `tag` comes back from BestTag() with the best candidate (which archive
  // held it, say).
  void Consider(std::string_view candidate, size_t tag = 0);

  bool Found() const { return best_.kind != NearMissKind::kNone; }
  const NearMiss& Best() const { return best_; }
  const std::string& BestName() const { return best_name_; }
  size_t BestTag() const { return best_tag_; }

 private:
  std::string wanted_;
  NearMiss best_;
  std::string best_name_;
  size_t best_tag_ = 0;
};
