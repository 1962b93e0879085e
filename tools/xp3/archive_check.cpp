#include "tools/xp3/archive_check.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace {

std::string Slashes(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string Fold(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

CheckFinding MakeFinding(CheckKind kind, size_t archive, size_t index, const CheckedEntry& entry) {
  CheckFinding finding;
  finding.kind = kind;
  finding.archive = archive;
  finding.entry = index;
  finding.name = entry.name;
  finding.size = entry.size;
  return finding;
}

}  // namespace

const char* CheckKindName(CheckKind kind) {
  switch (kind) {
    case CheckKind::kReplaces:
      return "replaces";
    case CheckKind::kAdds:
      return "adds";
    case CheckKind::kHidden:
      return "hidden";
    case CheckKind::kUnreachable:
      return "unreachable";
  }
  return "?";
}

std::string UnreachableReason(const std::string& raw) {
  const std::string name = Slashes(raw);
  if (name.empty()) return "an empty name";
  if (name[0] == '/') return "an absolute name (it starts with a separator)";
  if (name.size() >= 2 && name[1] == ':') return "a drive prefix";
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part.empty()) return "an empty component";
    if (part == ".") return "a '.' component";
    if (part == "..") return "a '..' component";
    if (part.find(':') != std::string::npos) return "a ':' inside a component";
    if (end == name.size()) break;
    start = end + 1;
  }
  return std::string();
}

CheckReport CheckArchives(const std::vector<CheckedArchive>& archives,
                          const std::vector<GameFile>& game_files) {
  CheckReport report;
  std::unordered_map<std::string, const GameFile*> game;
  for (const GameFile& file : game_files) game.emplace(Fold(Slashes(file.name)), &file);

  // Every reachable name, by its folded spelling, in the order the patch
  // indexes them: the last one listed wins.
  struct Claim {
    size_t archive;
    size_t entry;
    std::string name;
  };
  std::map<std::string, std::vector<Claim>> claims;
  for (size_t a = 0; a < archives.size(); ++a) {
    for (size_t e = 0; e < archives[a].entries.size(); ++e) {
      const CheckedEntry& entry = archives[a].entries[e];
      ++report.summary.entries;
      std::string reason = entry.refused.empty() ? UnreachableReason(entry.name) : entry.refused;
      if (!reason.empty()) {
        CheckFinding finding = MakeFinding(CheckKind::kUnreachable, a, e, entry);
        finding.reason = std::move(reason);
        report.findings.push_back(std::move(finding));
        continue;
      }
      const std::string name = Slashes(entry.name);
      claims[Fold(name)].push_back(Claim{a, e, name});
    }
  }

  for (const auto& [folded, list] : claims) {
    const Claim& winner = list.back();
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      const Claim& loser = list[i];
      const CheckedEntry& entry = archives[loser.archive].entries[loser.entry];
      CheckFinding finding = MakeFinding(CheckKind::kHidden, loser.archive, loser.entry, entry);
      finding.winner_archive = winner.archive;
      finding.winner_name = archives[winner.archive].entries[winner.entry].name;
      if (loser.name != winner.name) {
        finding.kind = CheckKind::kUnreachable;
        finding.reason = "differs only in letter case from " + finding.winner_name + " in " +
                         archives[winner.archive].name + ", which shadows it";
      }
      report.findings.push_back(std::move(finding));
    }
    const CheckedEntry& entry = archives[winner.archive].entries[winner.entry];
    CheckFinding finding = MakeFinding(CheckKind::kAdds, winner.archive, winner.entry, entry);
    if (auto it = game.find(folded); it != game.end()) {
      finding.kind = CheckKind::kReplaces;
      finding.game_name = it->second->name;
      finding.game_size = it->second->size;
      finding.case_differs = Slashes(it->second->name) != winner.name;
    }
    report.findings.push_back(std::move(finding));
  }

  std::sort(report.findings.begin(), report.findings.end(),
            [](const CheckFinding& x, const CheckFinding& y) {
              return x.archive != y.archive ? x.archive < y.archive : x.entry < y.entry;
            });
  for (const CheckFinding& finding : report.findings) {
    switch (finding.kind) {
      case CheckKind::kReplaces:
        ++report.summary.replaces;
        if (finding.case_differs) ++report.summary.case_differs;
        break;
      case CheckKind::kAdds:
        ++report.summary.adds;
        break;
      case CheckKind::kHidden:
        ++report.summary.hidden;
        break;
      case CheckKind::kUnreachable:
        ++report.summary.unreachable;
        break;
    }
  }
  return report;
}
