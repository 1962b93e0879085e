#include "tools/xp3/naming_warnings.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "overlay/near_miss.h"

namespace {

std::string Folded(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The folder part of a folded name ("" at the top), and the name without
// its top folder (empty when it has none).
std::string Folder(const std::string& folded) {
  const size_t at = folded.rfind('/');
  return at == std::string::npos ? std::string() : folded.substr(0, at);
}
std::string WithoutTop(const std::string& folded) {
  const size_t at = folded.find('/');
  return at == std::string::npos ? std::string() : folded.substr(at + 1);
}
std::string Top(const std::string& folded) {
  const size_t at = folded.find('/');
  return at == std::string::npos ? std::string() : folded.substr(0, at);
}

// The game's files a near miss can point at, found by where they could be
// near: the same folder, the same path without the top folder, or with one.
// Each entry is then compared with a few files, not all of them.
class GameNames {
 public:
  GameNames(const std::vector<GameFile>& files, const std::set<std::string>& replaced)
      : files_(files) {
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string folded = Folded(files[i].name);
      if (replaced.count(folded) != 0) continue;
      by_folder_[Folder(folded)].push_back(i);
      by_name_[folded].push_back(i);
      const std::string rest = WithoutTop(folded);
      if (!rest.empty()) by_rest_[rest].push_back(i);
    }
  }

  // The game file nearest to `entry`, or null.
  const GameFile* Nearest(const std::string& entry, NearMiss* miss) const {
    const std::string folded = Folded(entry);
    std::vector<size_t> candidates;
    Add(by_folder_, Folder(folded), &candidates);
    Add(by_name_, WithoutTop(folded), &candidates);
    Add(by_rest_, folded, &candidates);
    std::sort(candidates.begin(), candidates.end());
    NearMissSearch search(entry);
    for (size_t i : candidates) search.Consider(files_[i].name, i);
    if (!search.Found()) return nullptr;
    *miss = search.Best();
    return &files_[search.BestTag()];
  }

 private:
  using Lists = std::map<std::string, std::vector<size_t>>;
  static void Add(const Lists& lists, const std::string& key, std::vector<size_t>* out) {
    if (auto it = lists.find(key); it != lists.end()) {
      out->insert(out->end(), it->second.begin(), it->second.end());
    }
  }

  const std::vector<GameFile>& files_;
  Lists by_folder_;
  Lists by_name_;
  Lists by_rest_;
};

// The one top folder every entry of `archive` lies under, or empty.
std::string CommonTop(const CheckedArchive& archive) {
  std::string top;
  for (const CheckedEntry& entry : archive.entries) {
    const std::string name = Folded(entry.name);
    const std::string here = Top(name);
    if (here.empty() || (!top.empty() && here != top)) return std::string();
    top = here;
  }
  return top;
}

}  // namespace

std::vector<std::string> NamingWarnings(const std::vector<CheckedArchive>& archives,
                                        const CheckReport& report,
                                        const std::vector<GameFile>& game_files) {
  std::vector<std::string> warnings;
  // The game's top-level names: its top folders and the files beside it.
  std::set<std::string> game_tops;
  for (const GameFile& file : game_files) {
    const std::string folded = Folded(file.name);
    const std::string top = Top(folded);
    game_tops.insert(top.empty() ? folded : top);
  }
  // An archive packed one folder too high says so once, not once per entry.
  std::vector<bool> wrapped(archives.size());
  for (size_t a = 0; a < archives.size(); ++a) {
    const std::string top = CommonTop(archives[a]);
    if (top.empty() || game_tops.count(top) != 0) continue;
    // A new folder of its own (images under bg/) is no mistake: the archive
    // was packed one level too high only when, without that folder, its
    // entries fall into the game's own folders or onto its files.
    bool lands_in_game = false;
    for (const CheckedEntry& entry : archives[a].entries) {
      const std::string rest = WithoutTop(Folded(entry.name));
      const std::string rest_top = Top(rest);
      lands_in_game = lands_in_game || game_tops.count(rest_top.empty() ? rest : rest_top) != 0;
    }
    if (!lands_in_game) continue;
    wrapped[a] = true;
    const std::string& first = archives[a].entries.front().name;
    warnings.push_back(archives[a].name + ": every entry lies under " +
                       first.substr(0, top.size()) +
                       "/, a folder the game directory does not have, so none of them is "
                       "where the game looks; pack the folder inside it instead (the one laid "
                       "out like the game directory)");
  }

  std::set<std::string> replaced;
  for (const CheckFinding& finding : report.findings) {
    if (finding.kind == CheckKind::kReplaces) replaced.insert(Folded(finding.game_name));
  }
  const GameNames game(game_files, replaced);
  size_t near_misses = 0;
  for (const CheckFinding& finding : report.findings) {
    if (finding.kind != CheckKind::kAdds || wrapped[finding.archive]) continue;
    NearMiss miss;
    const GameFile* file = game.Nearest(finding.name, &miss);
    if (file == nullptr) continue;
    if (++near_misses > kMaxNearMissWarnings) continue;
    warnings.push_back(archives[finding.archive].name + ": " + finding.name +
                       " replaces no game file, but the game has " + file->name + " (" +
                       DescribeNearMiss(miss, finding.name, file->name) +
                       "); rename the entry if it is meant to replace that file");
  }
  if (near_misses > kMaxNearMissWarnings) {
    warnings.push_back("and " + std::to_string(near_misses - kMaxNearMissWarnings) +
                       " more entries that replace no game file but have a near miss");
  }
  return warnings;
}
