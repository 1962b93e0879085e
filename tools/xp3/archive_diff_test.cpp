// `xp3 diff` pairs entries as the game looks them up and reports what a
// player would get differently.
#include "tools/xp3/archive_diff.h"

#include <gtest/gtest.h>

namespace {

TEST(ArchiveDiff, AddedRemovedChangedAndUnchanged) {
  const std::vector<DiffEntry> before = {
      {"scenario/ch1.txt", 100, 0x11}, {"scenario/ch2.txt", 50, 0x22}, {"bg/old.png", 9, 0x33},
      {"same.txt", 4, 0x44},           {"recoded.txt", 7, 0x55},
  };
  const std::vector<DiffEntry> after = {
      {"same.txt", 4, 0x44},          {"scenario/ch1.txt", 120, 0x12},
      {"scenario/ch2.txt", 50, 0x23}, {"scenario/ch3.txt", 8, 0x66},
      {"recoded.txt", 7, 0x55},
  };
  const DiffReport report = DiffArchives(before, after);
  EXPECT_EQ(report.added, 1u);
  EXPECT_EQ(report.removed, 1u);
  EXPECT_EQ(report.changed, 2u);
  EXPECT_EQ(report.unchanged, 2u);
  EXPECT_FALSE(report.Same());
  // In name order, whatever the index order.
  ASSERT_EQ(report.items.size(), 4u);
  EXPECT_EQ(report.items[0].kind, DiffKind::kRemoved);
  EXPECT_EQ(report.items[0].name(), "bg/old.png");
  EXPECT_EQ(report.items[1].name(), "scenario/ch1.txt");
  EXPECT_TRUE(report.items[1].SizeChanged());
  EXPECT_TRUE(report.items[1].ChecksumChanged());
  // Same size, other content: only the checksum tells.
  EXPECT_EQ(report.items[2].name(), "scenario/ch2.txt");
  EXPECT_EQ(report.items[2].kind, DiffKind::kChanged);
  EXPECT_FALSE(report.items[2].SizeChanged());
  EXPECT_TRUE(report.items[2].ChecksumChanged());
  EXPECT_EQ(report.items[3].kind, DiffKind::kAdded);
  EXPECT_EQ(report.items[3].new_entry.size, 8u);

  EXPECT_TRUE(DiffArchives(before, before).Same());
  EXPECT_EQ(DiffArchives({}, {}).unchanged, 0u);
}

TEST(ArchiveDiff, NamesMatchAsTheGameLooksThemUp) {
  // Another separator or letter case is the same file to the game: a
  // spelling change, not a removal and an addition.
  const DiffReport report = DiffArchives({{"Data\\Start.ks", 5, 1}, {"a.txt", 1, 1}},
                                         {{"data/start.ks", 5, 1}, {"A.TXT", 2, 2}});
  ASSERT_EQ(report.items.size(), 2u);
  EXPECT_EQ(report.added + report.removed, 0u);
  EXPECT_EQ(report.items[0].old_entry.name, "a.txt");
  EXPECT_EQ(report.items[0].new_entry.name, "A.TXT");
  EXPECT_TRUE(report.items[0].SizeChanged());
  EXPECT_TRUE(report.items[1].SpellingChanged());
  EXPECT_FALSE(report.items[1].SizeChanged() || report.items[1].ChecksumChanged());
}

TEST(ArchiveDiff, TheLaterOfTwoEntriesOfOneNameIsTheOneCompared) {
  // The patch serves the later entry; a fix that drops the stale first copy
  // changes nothing the game sees.
  const DiffReport report =
      DiffArchives({{"a.txt", 1, 0xA}, {"a.txt", 2, 0xB}}, {{"a.txt", 2, 0xB}});
  EXPECT_TRUE(report.Same());
  EXPECT_EQ(report.unchanged, 1u);
  EXPECT_FALSE(DiffArchives({{"a.txt", 2, 0xB}, {"a.txt", 1, 0xA}}, {{"a.txt", 2, 0xB}}).Same());
}

}  // namespace
