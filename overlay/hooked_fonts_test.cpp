// Font files added and removed through the replacements, against stand-ins
// of gdi32 that record what the system was handed. The short forms are
// played in both shapes the system may have: built on the flagged wide form
// (as Wine builds them, entering the redirected function from inside the
// redirected one), or going to the system themselves.
#include "overlay/hooked_fonts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "overlay/find_session.h"
#include "overlay/font_copies.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "tools/xp3/xp3_writer.h"

namespace {

enum class Shape { kChained, kDirect };
Shape g_shape = Shape::kDirect;

// What the system was asked to add and remove, and what the added file held
// at that moment.
struct SystemFonts {
  std::vector<std::wstring> added, removed;
  std::vector<std::string> added_bytes;
  DWORD refuse_flags = 0xFFFFFFFF;  // an add with these flags fails
};
SystemFonts g_system;

std::string Contents(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return "missing";
  std::string bytes(256, '\0');
  DWORD got = 0;
  ::ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  ::CloseHandle(h);
  bytes.resize(got);
  return bytes;
}

int WINAPI SystemAddEx(LPCWSTR name, DWORD flags, PVOID) {
  if (flags == g_system.refuse_flags) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  g_system.added.push_back(name);
  g_system.added_bytes.push_back(Contents(name));
  return 1;
}
BOOL WINAPI SystemRemoveEx(LPCWSTR name, DWORD, PVOID) {
  g_system.removed.push_back(name);
  return TRUE;
}
int WINAPI StandInAdd(LPCWSTR name) {
  return g_shape == Shape::kChained ? HookedAddFontResourceExW(name, 0, nullptr)
                                    : SystemAddEx(name, 0, nullptr);
}
BOOL WINAPI StandInRemove(LPCWSTR name) {
  return g_shape == Shape::kChained ? HookedRemoveFontResourceExW(name, 0, nullptr)
                                    : SystemRemoveEx(name, 0, nullptr);
}

std::string Narrow(const std::wstring& wide) {
  std::string out(wide.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

class FontsTest : public ::testing::TestWithParam<Shape> {
 protected:
  static void SetUpTestSuite() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root =
        std::wstring(temp) + L"fonts-" + std::to_wstring(GetCurrentProcessId());
    game_ = root + L"\\game";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(game_.c_str(), nullptr);
    CreateDirectoryW((game_ + L"\\fonts").c_str(), nullptr);
    HANDLE h = ::CreateFileW((game_ + L"\\fonts\\disk.ttf").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(h, "disk font", 9, &written, nullptr);
    ::CloseHandle(h);
    archive_ = Narrow(root + L"\\patch.xp3");
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(archive_, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("fonts/script.ttf", "translated font", 15, &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
  }

  void SetUp() override {
    g_shape = GetParam();
    g_system = SystemFonts{};
    registry_ = std::make_unique<OverlayRegistry>(Narrow(game_));
    ASSERT_TRUE(registry_->Mount(archive_));
    saved_ = g_overlay_host;
    real_ = ImportedFileFunctions();
    real_.AddFontResourceExW = &SystemAddEx;
    real_.RemoveFontResourceExW = &SystemRemoveEx;
    real_.AddFontResourceW = &StandInAdd;
    real_.RemoveFontResourceW = &StandInRemove;
    SetOverlayHost({registry_.get(), &sessions_, &real_});
  }
  void TearDown() override {
    SetOverlayHost(saved_);
    EXPECT_EQ(TheFontCopies().CopyCount(), 0u);
    EXPECT_EQ(registry_->OpenHandleCount(), 0u);
  }

  static inline std::wstring game_;
  static inline std::string archive_;
  std::unique_ptr<OverlayRegistry> registry_;
  FindSessionSet sessions_;
  OverlayHost saved_;
  RealFileFunctions real_;
};

TEST_P(FontsTest, AnOverlaidFontIsAddedFromACopyUntilItsLastRemove) {
  const std::wstring font = game_ + L"\\fonts\\script.ttf";
  ASSERT_EQ(HookedAddFontResourceExW(font.c_str(), FR_PRIVATE, nullptr), 1);
  ASSERT_EQ(g_system.added.size(), 1u);
  const std::wstring copy = g_system.added[0];
  EXPECT_EQ(copy.find(game_), std::wstring::npos) << "a file the system can open";
  EXPECT_EQ(copy.substr(copy.size() - 10), L"script.ttf") << "the font file's own name";
  EXPECT_EQ(g_system.added_bytes[0], "translated font");
  // Added again by another spelling and form: the same copy, counted.
  EXPECT_EQ(HookedAddFontResourceA(Narrow(game_ + L"\\FONTS/Script.TTF").c_str()), 1);
  ASSERT_EQ(g_system.added.size(), 2u);
  EXPECT_EQ(g_system.added[1], copy);
  EXPECT_EQ(TheFontCopies().CopyCount(), 1u);

  EXPECT_TRUE(HookedRemoveFontResourceExW(font.c_str(), FR_PRIVATE, nullptr));
  EXPECT_EQ(Contents(copy), "translated font") << "still added once";
  EXPECT_TRUE(HookedRemoveFontResourceW(font.c_str()));
  EXPECT_EQ(g_system.removed, (std::vector<std::wstring>{copy, copy}));
  EXPECT_EQ(Contents(copy), "missing") << "deleted with its last remove";
  // Removed once too often: the system's answer for the path the game gave.
  HookedRemoveFontResourceExA(Narrow(font).c_str(), 0, nullptr);
  EXPECT_EQ(g_system.removed.size(), 2u) << "the ANSI form goes to the ANSI system function";
}

TEST_P(FontsTest, ADiskFontAndAFailedAddReachTheSystemAsTheyAre) {
  const std::wstring disk = game_ + L"\\fonts\\disk.ttf";
  EXPECT_EQ(HookedAddFontResourceW(disk.c_str()), 1);
  EXPECT_TRUE(HookedRemoveFontResourceW(disk.c_str()));
  EXPECT_EQ(g_system.added, std::vector<std::wstring>{disk}) << "once, whatever the shape";
  EXPECT_EQ(g_system.removed, std::vector<std::wstring>{disk});

  g_system.refuse_flags = FR_NOT_ENUM;
  const std::wstring font = game_ + L"\\fonts\\script.ttf";
  SetLastError(0);
  EXPECT_EQ(HookedAddFontResourceExW(font.c_str(), FR_NOT_ENUM, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "the system's error";
  EXPECT_EQ(TheFontCopies().CopyCount(), 0u) << "no copy kept for a font the system refused";
}

INSTANTIATE_TEST_SUITE_P(BothShapes, FontsTest, ::testing::Values(Shape::kChained, Shape::kDirect),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return info.param == Shape::kChained ? "Chained" : "Direct";
                         });

}  // namespace
