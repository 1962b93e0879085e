#include "tools/crash_handler/report_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW record;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &record);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = record.cFileName;
      if (name == L"." || name == L"..") continue;
      if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + L"\\" + name);
      } else {
        ::DeleteFileW((path + L"\\" + name).c_str());
      }
    } while (::FindNextFileW(find, &record));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(path.c_str());
}

class ReportDirectoryTest : public ::testing::Test {
 protected:
  void TearDown() override { RemoveTree(base_); }
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    base_ = std::wstring(temp) + L"report_directory_test." +
            std::to_wstring(::GetCurrentProcessId()) + L"." +
            std::to_wstring(::GetTickCount64() % 100000);
    ASSERT_TRUE(::CreateDirectoryW(base_.c_str(), nullptr));
  }
  std::wstring base_;
};

// `--dump-dir reports` used to be refused unless the folder was made first.
TEST_F(ReportDirectoryTest, CreatesTheFolderAndEveryMissingParent) {
  std::string error;
  const std::wstring deep = base_ + L"\\reports\\2026\\March \u30B2\u30FC\u30E0";
  ASSERT_TRUE(CreateReportDirectory(deep, &error)) << error;
  EXPECT_TRUE(IsFolder(deep));
  // Existing already is no failure; nor are slashes and a trailing separator.
  EXPECT_TRUE(CreateReportDirectory(deep + L"\\", &error)) << error;
  ASSERT_TRUE(CreateReportDirectory(base_ + L"/other/one/", &error)) << error;
  EXPECT_TRUE(IsFolder(base_ + L"\\other\\one"));
}

TEST_F(ReportDirectoryTest, ARelativeNameIsTakenFromTheCurrentDirectory) {
  wchar_t saved[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(::SetCurrentDirectoryW(base_.c_str()));
  std::string error;
  const bool made = CreateReportDirectory(L"reports\\today", &error);
  ::SetCurrentDirectoryW(saved);
  EXPECT_TRUE(made) << error;
  EXPECT_TRUE(IsFolder(base_ + L"\\reports\\today"));
}

TEST_F(ReportDirectoryTest, AFileInTheWayIsNamed) {
  const std::wstring file = base_ + L"\\taken";
  HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ::CloseHandle(handle);
  std::string error;
  EXPECT_FALSE(CreateReportDirectory(file + L"\\reports", &error));
  EXPECT_NE(error.find("taken is a file, not a folder"), std::string::npos) << error;
  EXPECT_FALSE(CreateReportDirectory(file, &error));
  EXPECT_FALSE(CreateReportDirectory(L"", &error));
}

}  // namespace
