// What `xp3 check` reports for archives mounted in order over a game
// directory.
#include "tools/xp3/archive_check.h"

#include <gtest/gtest.h>

#include "tools/xp3/loose_folder_files.h"

namespace {

const CheckFinding* FindingFor(const CheckReport& report, size_t archive, const std::string& name) {
  for (const CheckFinding& f : report.findings) {
    if (f.archive == archive && f.name == name) return &f;
  }
  return nullptr;
}

TEST(ArchiveCheck, ReplacesAddsAndHidesInMountOrder) {
  const std::vector<GameFile> game = {{"scenario/ch1.txt", 100}, {"system/config.ini", 7}};
  const std::vector<CheckedArchive> archives = {
      {"patch.xp3", {{"scenario/ch1.txt", 120}, {"scenario/ch2.txt", 50}, {"bg\\title.png", 9}}},
      {"images.xp3", {{"bg/title.png", 10}}},
  };
  const CheckReport report = CheckArchives(archives, game);

  const CheckFinding* ch1 = FindingFor(report, 0, "scenario/ch1.txt");
  ASSERT_NE(ch1, nullptr);
  EXPECT_EQ(ch1->kind, CheckKind::kReplaces);
  EXPECT_EQ(ch1->game_size, 100u);
  EXPECT_EQ(ch1->size, 120u);
  EXPECT_FALSE(ch1->case_differs);
  EXPECT_EQ(FindingFor(report, 0, "scenario/ch2.txt")->kind, CheckKind::kAdds);
  // Either separator names the same file; the later archive wins it.
  const CheckFinding* hidden = FindingFor(report, 0, "bg\\title.png");
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden->kind, CheckKind::kHidden);
  EXPECT_EQ(hidden->winner_archive, 1u);
  EXPECT_EQ(FindingFor(report, 1, "bg/title.png")->kind, CheckKind::kAdds);

  EXPECT_EQ(report.summary.entries, 4u);
  EXPECT_EQ(report.summary.replaces, 1u);
  EXPECT_EQ(report.summary.adds, 2u);
  EXPECT_EQ(report.summary.hidden, 1u);
  EXPECT_EQ(report.summary.unreachable, 0u);
  // Reported in mount order, then index order.
  ASSERT_EQ(report.findings.size(), 4u);
  EXPECT_EQ(report.findings[0].name, "scenario/ch1.txt");
  EXPECT_EQ(report.findings[3].archive, 1u);
}

TEST(ArchiveCheck, NamesTheGameCanNeverReach) {
  EXPECT_EQ(UnreachableReason(""), "an empty name");
  EXPECT_EQ(UnreachableReason("/etc/x"), "an absolute name (it starts with a separator)");
  EXPECT_EQ(UnreachableReason("\\x"), "an absolute name (it starts with a separator)");
  EXPECT_EQ(UnreachableReason("C:x.txt"), "a drive prefix");
  EXPECT_EQ(UnreachableReason("a//b"), "an empty component");
  EXPECT_EQ(UnreachableReason("a/b/"), "an empty component");
  EXPECT_EQ(UnreachableReason("./a"), "a '.' component");
  EXPECT_EQ(UnreachableReason("a\\..\\b"), "a '..' component");
  EXPECT_EQ(UnreachableReason("a/b:c"), "a ':' inside a component");
  EXPECT_EQ(UnreachableReason("a/.b/c..d"), "");

  const CheckReport report = CheckArchives({{"p.xp3", {{"../up.txt", 1}, {"ok.txt", 2}}}}, {});
  EXPECT_EQ(FindingFor(report, 0, "../up.txt")->kind, CheckKind::kUnreachable);
  EXPECT_EQ(FindingFor(report, 0, "../up.txt")->reason, "a '..' component");
  EXPECT_EQ(report.summary.unreachable, 1u);
  EXPECT_EQ(report.summary.adds, 1u);
}

TEST(ArchiveCheck, CaseOnlyDifferencesShadowOrAreFlagged) {
  const std::vector<GameFile> game = {{"Data/Start.KS", 30}};
  const std::vector<CheckedArchive> archives = {
      {"patch.xp3", {{"data/start.ks", 31}, {"Readme.txt", 5}}},
      {"tw.xp3", {{"README.TXT", 6}}},
  };
  const CheckReport report = CheckArchives(archives, game);
  // The game finds the entry, but its spelling is not the game file's.
  const CheckFinding* start = FindingFor(report, 0, "data/start.ks");
  EXPECT_EQ(start->kind, CheckKind::kReplaces);
  EXPECT_TRUE(start->case_differs);
  EXPECT_EQ(start->game_name, "Data/Start.KS");
  // A name spelled differently that loses to a later one is never reached.
  const CheckFinding* readme = FindingFor(report, 0, "Readme.txt");
  EXPECT_EQ(readme->kind, CheckKind::kUnreachable);
  EXPECT_EQ(readme->reason,
            "differs only in letter case from README.TXT in tw.xp3, which shadows it");
  EXPECT_EQ(report.summary.case_differs, 1u);
  EXPECT_EQ(report.summary.unreachable, 1u);
  EXPECT_EQ(report.summary.hidden, 0u);
}

TEST(ArchiveCheck, ALaterEntryOfTheSameArchiveWins) {
  const CheckReport report = CheckArchives({{"p.xp3", {{"a.txt", 1}, {"a.txt", 2}}}}, {});
  ASSERT_EQ(report.findings.size(), 2u);
  EXPECT_EQ(report.findings[0].kind, CheckKind::kHidden);
  EXPECT_EQ(report.findings[1].kind, CheckKind::kAdds);
  EXPECT_EQ(report.findings[1].size, 2u);
}

TEST(ArchiveCheck, ALooseFolderWinsExceptForWhatThePatchRefuses) {
  const std::vector<GameFile> game = {{"data/a.txt", 3}};
  const std::vector<CheckedArchive> archives = {
      {"patch.xp3", {{"data/a.txt", 4}, {"data/b.txt", 5}}},
      {"dev", {{"data/a.txt", 6}, {"data/b.txt", 0, "a link that leads outside"}}, true},
  };
  const CheckReport report = CheckArchives(archives, game);
  EXPECT_EQ(FindingFor(report, 0, "data/a.txt")->kind, CheckKind::kHidden);
  EXPECT_EQ(FindingFor(report, 1, "data/a.txt")->kind, CheckKind::kReplaces);
  // A refused file leaves the name to the archive, as the patch does.
  EXPECT_EQ(FindingFor(report, 0, "data/b.txt")->kind, CheckKind::kAdds);
  EXPECT_EQ(FindingFor(report, 1, "data/b.txt")->kind, CheckKind::kUnreachable);
  EXPECT_EQ(FindingFor(report, 1, "data/b.txt")->reason, "a link that leads outside");
}

TEST(LooseFolderNames, NamesWindowsWouldTrimOrReadAsPatternsAreNotServed) {
  for (const char* name : {"a.txt", "data/a.b.txt", ".hidden", "..dots/x"}) {
    EXPECT_EQ(LooseNameRefusal(name), "") << name;
  }
  for (const char* name : {"a.txt.", "dir./a.txt", "a.txt ", "a*.txt", "a?.txt", "a<b", "a|b",
                           "a\"b", "a\\b", "a\tb"}) {
    EXPECT_NE(LooseNameRefusal(name), "") << name;
  }
}

}  // namespace
