#include "overlay/near_miss.h"

#include <algorithm>
#include <vector>

namespace {

char Folded(char c) {
  if (c == '/') return '\\';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

size_t LastSeparator(std::string_view name) {
  const size_t at = name.find_last_of("\\/");
  return at == std::string_view::npos ? 0 : at + 1;
}

size_t FirstSeparator(std::string_view name) { return name.find_first_of("\\/"); }

// Edits between two names (optimal string alignment), or 3 for anything
// beyond 2: only small distances matter, so long names that differ in length
// by more than 2 are never compared character by character.
int SmallEditDistance(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  const size_t m = b.size();
  if ((n > m ? n - m : m - n) > 2) return 3;
  std::vector<int> before(m + 1), previous(m + 1), current(m + 1);
  for (size_t j = 0; j <= m; ++j) previous[j] = static_cast<int>(j);
  for (size_t i = 1; i <= n; ++i) {
    current[0] = static_cast<int>(i);
    int row_best = current[0];
    for (size_t j = 1; j <= m; ++j) {
      const int cost = Folded(a[i - 1]) == Folded(b[j - 1]) ? 0 : 1;
      int value = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && Folded(a[i - 1]) == Folded(b[j - 2]) &&
          Folded(a[i - 2]) == Folded(b[j - 1])) {
        value = std::min(value, before[j - 2] + 1);
      }
      current[j] = value;
      row_best = std::min(row_best, value);
    }
    if (row_best > 2) return 3;
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return std::min(previous[m], 3);
}

std::string_view Stem(std::string_view leaf) {
  const size_t dot = leaf.find_last_of('.');
  return dot == std::string_view::npos || dot == 0 ? leaf : leaf.substr(0, dot);
}

}  // namespace

int NearMiss::Rank() const {
  switch (kind) {
    case NearMissKind::kNone:
      return 0;
    case NearMissKind::kSpelling:
      return edits;
    case NearMissKind::kExtension:
      return 3;
    case NearMissKind::kExtraTopFolder:
    case NearMissKind::kMissingTopFolder:
      return 4;
  }
  return 0;
}

NearMiss CompareNearMiss(std::string_view wanted, std::string_view candidate) {
  NearMiss miss;
  if (wanted.empty() || candidate.empty() || SameFolded(wanted, candidate)) return miss;
  const size_t wanted_leaf = LastSeparator(wanted);
  const size_t candidate_leaf = LastSeparator(candidate);
  if (wanted_leaf == candidate_leaf &&
      SameFolded(wanted.substr(0, wanted_leaf), candidate.substr(0, candidate_leaf))) {
    const std::string_view a = wanted.substr(wanted_leaf);
    const std::string_view b = candidate.substr(candidate_leaf);
    const int edits = SmallEditDistance(a, b);
    if (edits == 1 || (edits == 2 && std::min(a.size(), b.size()) >= 5)) {
      miss.kind = NearMissKind::kSpelling;
      miss.edits = edits;
      return miss;
    }
    if (SameFolded(Stem(a), Stem(b))) miss.kind = NearMissKind::kExtension;
    return miss;
  }
  const size_t candidate_top = FirstSeparator(candidate);
  if (candidate_top != std::string_view::npos &&
      SameFolded(candidate.substr(candidate_top + 1), wanted)) {
    miss.kind = NearMissKind::kExtraTopFolder;
    return miss;
  }
  const size_t wanted_top = FirstSeparator(wanted);
  if (wanted_top != std::string_view::npos &&
      SameFolded(wanted.substr(wanted_top + 1), candidate)) {
    miss.kind = NearMissKind::kMissingTopFolder;
  }
  return miss;
}

std::string DescribeNearMiss(const NearMiss& miss, std::string_view wanted,
                             std::string_view candidate) {
  switch (miss.kind) {
    case NearMissKind::kNone:
      return "not near";
    case NearMissKind::kSpelling:
      return miss.edits == 1 ? "1 letter apart" : "2 letters apart";
    case NearMissKind::kExtension:
      return "another extension";
    case NearMissKind::kExtraTopFolder:
      return "inside the extra top folder " +
             std::string(candidate.substr(0, FirstSeparator(candidate)));
    case NearMissKind::kMissingTopFolder:
      return "without the top folder " + std::string(wanted.substr(0, FirstSeparator(wanted)));
  }
  return "";
}

void NearMissSearch::Consider(std::string_view candidate, size_t tag) {
  const NearMiss miss = CompareNearMiss(wanted_, candidate);
  if (miss.kind == NearMissKind::kNone) return;
  if (Found() && miss.Rank() >= best_.Rank()) return;
  best_ = miss;
  best_name_.assign(candidate);
  best_tag_ = tag;
}
