#include "overlay/near_miss.h"

#include <gtest/gtest.h>

namespace {

NearMissKind Kind(std::string_view wanted, std::string_view candidate) {
  return CompareNearMiss(wanted, candidate).kind;
}

TEST(NearMiss, SpellingInTheSameFolderOnly) {
  EXPECT_EQ(CompareNearMiss("scenario\\chapter1.txt", "scenario/chapter01.txt").edits, 1);
  EXPECT_EQ(Kind("scenario\\chapter1.txt", "SCENARIO/Chapter01.txt"), NearMissKind::kSpelling);
  EXPECT_EQ(CompareNearMiss("scenario\\chapter1.txt", "scenario\\chatper1.txt").edits, 1);
  EXPECT_EQ(CompareNearMiss("scenario\\chapter1.txt", "scenario\\chapter012.txt").edits, 2);
  // Three edits, another folder, or the very same key are not near misses.
  EXPECT_EQ(Kind("scenario\\chapter1.txt", "scenario\\chapter1234.txt"), NearMissKind::kNone);
  EXPECT_EQ(Kind("scenario\\chapter1.txt", "script\\chapter01.txt"), NearMissKind::kNone);
  EXPECT_EQ(Kind("scenario\\chapter1.txt", "Scenario/Chapter1.TXT"), NearMissKind::kNone);
  // Two edits in a short name leave little of it.
  EXPECT_EQ(Kind("ab.k", "cd.k"), NearMissKind::kNone);
  EXPECT_EQ(Kind("a.ks", "b.ks"), NearMissKind::kSpelling);
}

TEST(NearMiss, ExtensionsAndTopFolders) {
  EXPECT_EQ(Kind("bg\\title.png", "bg\\title.bmp"), NearMissKind::kExtension);
  EXPECT_EQ(Kind("bg\\title.png", "bg\\title"), NearMissKind::kExtension);
  EXPECT_EQ(Kind("bg\\title.png", "bg\\logo.jpeg"), NearMissKind::kNone);
  EXPECT_EQ(Kind("scenario\\a.txt", "translation/scenario/a.txt"), NearMissKind::kExtraTopFolder);
  EXPECT_EQ(Kind("data\\scenario\\a.txt", "scenario/a.txt"), NearMissKind::kMissingTopFolder);
  EXPECT_EQ(Kind("scenario\\a.txt", "x/y/scenario/a.txt"), NearMissKind::kNone);
  const std::string wrapped = "translation/scenario/a.txt";
  EXPECT_EQ(
      DescribeNearMiss(CompareNearMiss("scenario\\a.txt", wrapped), "scenario\\a.txt", wrapped),
      "inside the extra top folder translation");
}

TEST(NearMiss, SearchKeepsTheNearestAndTheFirstOfATie) {
  NearMissSearch search("scenario\\chapter1.txt");
  search.Consider("translation/scenario/chapter1.txt", 0);
  search.Consider("scenario/chapter1.ks", 1);
  search.Consider("scenario/chapter01.txt", 2);
  search.Consider("scenario/chapter2.txt", 3);  // also 1 edit: the first one stays
  search.Consider("other.txt", 4);
  ASSERT_TRUE(search.Found());
  EXPECT_EQ(search.BestName(), "scenario/chapter01.txt");
  EXPECT_EQ(search.BestTag(), 2u);
  NearMissSearch none("a\\b.txt");
  none.Consider("c/d.txt");
  EXPECT_FALSE(none.Found());
}

}  // namespace
