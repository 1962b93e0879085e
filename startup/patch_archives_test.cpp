// Which archives start-up mounts, in which order, and the memory file "acp".
// The archives are written beside this test program (whose name the patch
// archive takes here, as the DLL's would) and into a temporary current
// directory for "images.xp3".
#include "startup/patch_archives.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "overlay/loose_folder.h"
#include "overlay/overlay_registry.h"
#include "platform/text_conversion.h"
#include "tools/xp3/xp3_writer.h"

namespace {

TEST(ArchiveNameForModule, ReplacesFromTheLastDotOfTheWholePath) {
  std::wstring name;
  ASSERT_TRUE(ArchiveNameForModule(L"D:\\Game\\patch.dll", &name));
  EXPECT_EQ(name, L"D:\\Game\\patch.xp3");
  ASSERT_TRUE(ArchiveNameForModule(L"D:\\Game.v2\\patch", &name));
  EXPECT_EQ(name, L"D:\\Game.xp3");  // the dot of the directory is the last one
  ASSERT_TRUE(ArchiveNameForModule(L"D:\\Game\\patch", &name));
  EXPECT_EQ(name, L"D:\\Game\\patch.xp3");
}

TEST(ArchiveNameForModule, RefusesANameThatDoesNotFitMaxPath) {
  std::wstring name = L"unchanged";
  std::wstring fits = L"C:\\" + std::wstring(MAX_PATH - 1 - 3 - 4, L'a') + L".dll";
  EXPECT_TRUE(ArchiveNameForModule(fits, &name));
  EXPECT_EQ(name.size(), static_cast<size_t>(MAX_PATH - 1));
  std::wstring too_long = L"C:\\" + std::wstring(MAX_PATH, L'a');  // no dot: ".xp3" appended
  name = L"unchanged";
  EXPECT_FALSE(ArchiveNameForModule(too_long, &name));
  EXPECT_EQ(name, L"unchanged");
}

TEST(SecondLanguageName, InsertsBeforeTheLastDot) {
  EXPECT_EQ(SecondLanguageName("D:\\Game\\patch.xp3"), "D:\\Game\\patch_tw.xp3");
  EXPECT_EQ(SecondLanguageName("a.b\\c.xp3"), "a.b\\c_tw.xp3");
}

class MountPatchArchivesTest : public ::testing::Test {
 protected:
  static void Write(const std::string& path, const std::string& content) {
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(path, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("data/a.txt", content.data(), content.size(), &error));
    std::string mine = "from " + content;
    ASSERT_TRUE(writer.AddEntry(content + ".txt", mine.data(), mine.size(), &error));
    ASSERT_TRUE(writer.Finish(&error)) << error;
  }

  void SetUp() override {
    wchar_t module[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring archive;
    ASSERT_TRUE(ArchiveNameForModule(std::wstring(module, n), &archive));
    ASSERT_TRUE(ToUtf8(archive, &patch_));
    Write(patch_, "patch");
    Write(SecondLanguageName(patch_), "tw");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    cwd_ = std::wstring(temp) + L"mount-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(cwd_.c_str(), nullptr);
    GetCurrentDirectoryW(MAX_PATH, old_cwd_);
    SetCurrentDirectoryW(cwd_.c_str());
    Write("images.xp3", "images");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"CHS_TW", nullptr);
    SetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", nullptr);
    DeleteFileW(L"images.xp3");
    SetCurrentDirectoryW(old_cwd_);
    RemoveDirectoryW(cwd_.c_str());
    DeleteFileA(patch_.c_str());
    DeleteFileA(SecondLanguageName(patch_).c_str());
  }

  // What "data/a.txt" reads as after start-up mounting with CHS_TW = value
  // (nullptr: unset).
  static std::string Winner(OverlayRegistry& registry) {
    HANDLE h = registry.OpenOwn(L"data/a.txt");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[32];
    DWORD got = 0;
    EXPECT_TRUE(registry.ReadOwn(h, buffer, sizeof buffer, &got));
    registry.CloseOwn(h);
    return std::string(buffer, got);
  }

  std::string patch_;
  std::wstring cwd_;
  wchar_t old_cwd_[MAX_PATH] = {};
};

TEST_F(MountPatchArchivesTest, MountOrderIsPrecedenceAndOnlyExactlyOneMountsTheVariant) {
  struct Case {
    const wchar_t* value;
    const char* winner;
  };
  for (const Case& c :
       {Case{nullptr, "images"}, Case{L"", "images"}, Case{L"0", "images"}, Case{L"yes", "images"},
        Case{L"1 ", "images"}, Case{L"11", "images"}, Case{L"1", "tw"}}) {
    SetEnvironmentVariableW(L"CHS_TW", c.value);
    OverlayRegistry registry("C:\\Game");
    MountPatchArchives(nullptr, registry);
    EXPECT_EQ(Winner(registry), c.winner) << (c.value ? "CHS_TW set" : "CHS_TW unset");
    // Every mounted archive stays visible for its own entries.
    EXPECT_TRUE(registry.Exists(L"patch.txt"));
    EXPECT_TRUE(registry.Exists(L"images.txt"));
    EXPECT_EQ(registry.Exists(L"tw.txt"), std::string(c.winner) == "tw");
  }
}

TEST_F(MountPatchArchivesTest, AcpHoldsTheAnsiCodePageDigits) {
  OverlayRegistry registry("C:\\Game");
  MountPatchArchives(nullptr, registry);
  const std::string expected = std::to_string(GetACP());
  ASSERT_EQ(registry.Memory().count("acp"), 1u);
  const auto& bytes = registry.Memory().at("acp");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
  HANDLE h = registry.OpenOwn(L"C:\\Game\\ACP");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(registry.SizeOwn(h, static_cast<DWORD*>(nullptr)), expected.size());
  registry.CloseOwn(h);
}

TEST_F(MountPatchArchivesTest, TheLooseFolderOfTheVariableIsLaidOverTheArchivesOrLeftOut) {
  // Unset, empty, missing or not a directory: the archives alone, and the
  // game goes on.
  for (const wchar_t* value :
       {static_cast<const wchar_t*>(nullptr), L"", L"no-such-folder", L"images.xp3"}) {
    SetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", value);
    OverlayRegistry registry("C:\\Game");
    MountPatchArchives(nullptr, registry);
    EXPECT_EQ(registry.Loose(), nullptr) << (value != nullptr ? "set" : "unset");
    EXPECT_EQ(Winner(registry), "images");
  }
  // A folder, named relative to the current directory as a translator may.
  CreateDirectoryW(L"dev", nullptr);
  SetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", L"dev\\");
  OverlayRegistry registry("C:\\Game");
  MountPatchArchives(nullptr, registry);
  ASSERT_NE(registry.Loose(), nullptr);
  const std::wstring full = cwd_ + L"\\dev";
  std::string expected;
  ASSERT_TRUE(ToUtf8(full, &expected));
  EXPECT_EQ(registry.Loose()->Path(), expected);
  RemoveDirectoryW(L"dev");

  // Laid over the game directory itself, or a folder that holds it, the
  // folder would make every game file read-only: it is left out.
  std::string cwd;
  ASSERT_TRUE(ToUtf8(cwd_, &cwd));
  for (const wchar_t* value : {L".", L"..", L".\\"}) {
    SetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", value);
    OverlayRegistry over_itself(cwd);
    MountPatchArchives(nullptr, over_itself);
    EXPECT_EQ(over_itself.Loose(), nullptr) << "over the game directory: " << value;
  }
}

}  // namespace
