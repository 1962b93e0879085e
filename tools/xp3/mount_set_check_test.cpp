// `xp3 check` warns when the archives it is given are not the set the patch
// mounts: DLL-named archive, images.xp3 from the game directory, and the
// _tw variant when CHS_TW is 1.
#include "tools/xp3/mount_set_check.h"

#include <gtest/gtest.h>

namespace {

MountSetInput Given(std::vector<std::string> names) {
  MountSetInput input;
  for (const std::string& name : names) {
    input.archives.push_back("dist/" + name);
    input.file_names.push_back(name);
  }
  return input;
}

// The one warning expected, or a failure listing what came.
std::string Only(const std::vector<std::string>& warnings) {
  std::string all;
  for (const std::string& w : warnings) all += "\n  " + w;
  EXPECT_EQ(warnings.size(), 1u) << all;
  return warnings.empty() ? std::string() : warnings[0];
}

TEST(MountSetCheck, TheSetTheGameMountsGivesNoWarning) {
  MountSetInput input = Given({"patch.xp3", "images.xp3"});
  input.images_in_game_dir = "game/images.xp3";
  EXPECT_TRUE(MountSetWarnings(input).empty());
  // Letter case does not matter to the file system.
  input = Given({"Patch.XP3", "IMAGES.xp3", "patch_tw.xp3"});
  input.images_in_game_dir = "game/Images.xp3";
  input.second_language_on_disk = "game/patch_tw.xp3";
  EXPECT_TRUE(MountSetWarnings(input).empty());
}

TEST(MountSetCheck, MissingImagesArchive) {
  // Nowhere: the game stops at start-up.
  std::string warning = Only(MountSetWarnings(Given({"patch.xp3"})));
  EXPECT_NE(warning.find("no images.xp3 was given, and the game directory has none"),
            std::string::npos)
      << warning;
  EXPECT_NE(warning.find("--allow-empty"), std::string::npos) << warning;

  // In the game directory but not given: the check misses its entries.
  MountSetInput input = Given({"patch.xp3"});
  input.images_in_game_dir = "game/images.xp3";
  warning = Only(MountSetWarnings(input));
  EXPECT_NE(warning.find("images.xp3 was not given, but the game directory holds one "
                         "(game/images.xp3)"),
            std::string::npos)
      << warning;

  // Given, but not where the game opens it.
  warning = Only(MountSetWarnings(Given({"patch.xp3", "images.xp3"})));
  EXPECT_NE(warning.find("the game directory has no images.xp3"), std::string::npos) << warning;
  EXPECT_NE(warning.find("put dist/images.xp3 there"), std::string::npos) << warning;
}

TEST(MountSetCheck, SecondLanguageVariantOnDiskButNotGiven) {
  EXPECT_EQ(SecondLanguageFileName("patch.xp3"), "patch_tw.xp3");
  EXPECT_EQ(SecondLanguageFileName("my.patch.XP3"), "my.patch_tw.xp3");
  EXPECT_EQ(SecondLanguageFileName("patch.dat"), "");

  MountSetInput input = Given({"patch.xp3", "images.xp3"});
  input.images_in_game_dir = "game/images.xp3";
  input.second_language_on_disk = "game/patch_tw.xp3";
  const std::string warning = Only(MountSetWarnings(input));
  EXPECT_EQ(warning.rfind("game/patch_tw.xp3 exists but was not given: when CHS_TW is 1", 0), 0u)
      << warning;
}

TEST(MountSetCheck, OrderAndArchivesTheGameNeverMounts) {
  MountSetInput input = Given({"images.xp3", "patch.xp3"});
  input.images_in_game_dir = "game/images.xp3";
  std::vector<std::string> warnings = MountSetWarnings(input);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("dist/images.xp3 is given first"), std::string::npos);
  EXPECT_NE(warnings[1].find("dist/patch.xp3 is not an archive the game mounts"),
            std::string::npos);

  input = Given({"patch.xp3", "patch_tw.xp3", "images.xp3", "extra.xp3", "images.xp3"});
  input.images_in_game_dir = "game/images.xp3";
  warnings = MountSetWarnings(input);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0],
            "dist/extra.xp3 is not an archive the game mounts: it mounts patch.xp3, images.xp3 "
            "and, when CHS_TW is 1, patch_tw.xp3");
  EXPECT_EQ(warnings[1],
            "dist/images.xp3 is given more than once; the game mounts images.xp3 once");
  EXPECT_NE(warnings[2].find("dist/patch_tw.xp3 is given before images.xp3"), std::string::npos);
}

}  // namespace
