#include "tools/xp3/naming_warnings.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Warn(const std::vector<CheckedArchive>& archives,
                              const std::vector<GameFile>& game) {
  return NamingWarnings(archives, CheckArchives(archives, game), game);
}

const std::vector<GameFile> kGame = {{"game.exe", 10},
                                     {"scenario/chapter1.txt", 63},
                                     {"scenario/chapter2.txt", 50},
                                     {"bg/title.png", 5}};

TEST(NamingWarnings, MisnamedEntryNamesTheGameFileItMisses) {
  const auto warnings = Warn({{"patch.xp3",
                               {{"scenario/chapter01.txt", 70},  // chapter1.txt misspelt
                                {"scenario/chapter2.txt", 55},   // replaces
                                {"bg/title.png", 1},             // replaces
                                {"bg/titel.png", 1},  // near title.png, which is replaced
                                {"scenario/new_route.txt", 1}}}},  // a new file, near nothing
                             kGame);
  ASSERT_EQ(warnings.size(), 1u) << warnings.back();
  EXPECT_NE(warnings[0].find("patch.xp3: scenario/chapter01.txt replaces no game file, but the "
                             "game has scenario/chapter1.txt (1 letter apart)"),
            std::string::npos)
      << warnings[0];
}

TEST(NamingWarnings, WrappedArchiveIsNamedOnceAndOtherTopFoldersAreNot) {
  const auto wrapped = Warn(
      {{"patch.xp3", {{"Translation/scenario/chapter1.txt", 1}, {"translation/bg/title.png", 1}}}},
      kGame);
  ASSERT_EQ(wrapped.size(), 1u);
  EXPECT_NE(wrapped[0].find("every entry lies under Translation/"), std::string::npos);
  // All under a folder the game has, or a file at the top: nothing to say.
  EXPECT_TRUE(Warn({{"images.xp3", {{"bg/other.png", 1}, {"bg/more.png", 1}}}}, kGame).empty());
  // A folder of its own that the game does not have yet is new, not wrapped.
  EXPECT_TRUE(Warn({{"images.xp3", {{"cg/ev01.png", 1}, {"cg/ev02.png", 1}}}}, kGame).empty());
  EXPECT_TRUE(Warn({{"a.xp3", {{"x/a.txt", 1}, {"b.txt", 1}}}}, kGame).empty());
  // The game's file one folder deeper than the entry.
  const auto shallow = Warn({{"p.xp3", {{"chapter1.txt", 1}}}}, {{"scenario/chapter1.txt", 1}});
  ASSERT_EQ(shallow.size(), 1u);
  EXPECT_NE(shallow[0].find("inside the extra top folder scenario"), std::string::npos)
      << shallow[0];
}

TEST(NamingWarnings, ManyNearMissesEndInACount) {
  std::vector<GameFile> game;
  std::vector<CheckedEntry> entries;
  for (int i = 0; i < 25; ++i) {
    game.push_back({"voice/v" + std::to_string(i) + ".ogg", 1});
    entries.push_back({"voice/v" + std::to_string(i) + ".wav", 1});
  }
  const auto warnings = Warn({{"voice.xp3", entries}}, game);
  ASSERT_EQ(warnings.size(), kMaxNearMissWarnings + 1);
  EXPECT_EQ(warnings.back(), "and 5 more entries that replace no game file but have a near miss");
}

}  // namespace
