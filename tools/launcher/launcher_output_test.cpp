#include "tools/launcher/launcher_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kPath[] = L"Z:\\games\\My Game \u30B2\u30FC\u30E0\\patch.dll";
const char kPathUtf8[] = "Z:\\games\\My Game \xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\\patch.dll";

// A file that stands in for a redirected standard stream.
class StreamFile {
 public:
  StreamFile() {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    static int made = 0;
    path_ = std::wstring(directory) + L"launcher_output_test." +
            std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++made) + L".txt";
    handle_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  ~StreamFile() { CloseHandle(handle_); }
  HANDLE handle() const { return handle_; }
  std::string Contents() const {
    std::string text(4096, '\0');
    DWORD got = 0;
    SetFilePointer(handle_, 0, nullptr, FILE_BEGIN);
    ReadFile(handle_, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
    text.resize(got);
    return text;
  }

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Redirected output used to be narrowed to the code page and cut at the
// first character it lacks.
TEST(LauncherOutputTest, AFileOrPipeGetsEveryCharacterAsUtf8) {
  StreamFile file;
  ASSERT_NE(file.handle(), INVALID_HANDLE_VALUE);
  WriteText(file.handle(), std::wstring(kPath) + L" \U0001F600\n");
  EXPECT_EQ(file.Contents(), std::string(kPathUtf8) + " \xF0\x9F\x98\x80\n");

  // A lone surrogate (possible in a file name) costs one character, not
  // the message.
  StreamFile broken;
  WriteText(broken.handle(), std::wstring(L"a") + wchar_t(0xD800) + L"b");
  EXPECT_EQ(broken.Contents(),
            "a\xEF\xBF\xBD"
            "b");
}

std::wstring g_box;
void CaptureBox(const std::wstring& text) { g_box = text; }

// Started from a shortcut, the launcher's errors used to go nowhere: its
// console closes with it, or it has none.
TEST(LauncherOutputTest, WithoutAConsoleThatStaysAnErrorIsShownInABoxToo) {
  StreamFile file;
  HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, file.handle());
  g_box.clear();
  const std::wstring text = std::wstring(L"patch DLL not found: ") + kPath;
  LauncherOutput(&CaptureBox).Error(text);
  SetStdHandle(STD_ERROR_HANDLE, saved);

  EXPECT_EQ(file.Contents(), std::string("launcher: patch DLL not found: ") + kPathUtf8 + "\n");
  if (LauncherOutput::ConsoleOutlivesLauncher()) {
    GTEST_SKIP() << "run from a console that stays open: no box is due";
  }
  EXPECT_EQ(g_box, text);
}

}  // namespace
