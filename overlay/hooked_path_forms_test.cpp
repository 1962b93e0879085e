// The other forms of the path functions (ANSI, CreateFile2, FindFirstFileW)
// played against stand-ins of the system in both shapes it may have:
//  - chained, as Wine builds them: the system's ANSI function converts and
//    calls the wide function, which is the redirected one;
//  - direct, as Windows may: the system's ANSI function goes straight to the
//    file system without calling anything the patch redirects.
// Both must give the same answers for overlaid files, disk files and
// listings, and the overlay must answer each call exactly once (one line in
// the log per call).
#include "overlay/hooked_path_forms.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "overlay/ansi_paths.h"
#include "overlay/find_session.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_search_path.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "platform/diagnostic_log.h"
#include "tools/xp3/xp3_writer.h"

namespace {

enum class Shape { kChained, kDirect };
Shape g_shape = Shape::kDirect;
// Calls that reached the file system's own wide functions.
int g_system_calls = 0;

std::wstring FromAnsi(const char* text) {
  std::wstring wide;
  AnsiPathToWide(text, &wide);
  return wide;
}

// The system's wide functions, counted.
HANDLE WINAPI SystemCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE templ) {
  ++g_system_calls;
  return ::CreateFileW(name, access, share, sa, disposition, flags, templ);
}
DWORD WINAPI SystemGetFileAttributesW(LPCWSTR name) {
  ++g_system_calls;
  return ::GetFileAttributesW(name);
}
BOOL WINAPI SystemGetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  ++g_system_calls;
  return ::GetFileAttributesExW(name, level, data);
}
HANDLE WINAPI SystemFindFirstFileExW(LPCWSTR name, FINDEX_INFO_LEVELS level, LPVOID data,
                                     FINDEX_SEARCH_OPS op, LPVOID filter, DWORD flags) {
  ++g_system_calls;
  return ::FindFirstFileExW(name, level, data, op, filter, flags);
}
DWORD WINAPI SystemSearchPathW(LPCWSTR path, LPCWSTR name, LPCWSTR extension, DWORD length,
                               LPWSTR buffer, LPWSTR* part) {
  ++g_system_calls;
  return ::SearchPathW(path, name, extension, length, buffer, part);
}

// The ANSI forms and CreateFile2 and FindFirstFileW in the shape chosen:
// chained ones enter the redirected wide functions, direct ones the
// system's.
HANDLE WINAPI StandInCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                 DWORD disposition, DWORD flags, HANDLE templ) {
  const std::wstring wide = FromAnsi(name);
  return g_shape == Shape::kChained
             ? HookedCreateFileW(wide.c_str(), access, share, sa, disposition, flags, templ)
             : SystemCreateFileW(wide.c_str(), access, share, sa, disposition, flags, templ);
}
HANDLE WINAPI StandInCreateFile2(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                                 CreateFile2Parameters* parameters) {
  const DWORD flags = parameters != nullptr ? parameters->dwFileFlags : 0;
  return g_shape == Shape::kChained
             ? HookedCreateFileW(name, access, share, nullptr, disposition, flags, nullptr)
             : SystemCreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
}
DWORD WINAPI StandInGetFileAttributesA(LPCSTR name) {
  const std::wstring wide = FromAnsi(name);
  return g_shape == Shape::kChained ? HookedGetFileAttributesW(wide.c_str())
                                    : SystemGetFileAttributesW(wide.c_str());
}
BOOL WINAPI StandInGetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  const std::wstring wide = FromAnsi(name);
  return g_shape == Shape::kChained ? HookedGetFileAttributesExW(wide.c_str(), level, data)
                                    : SystemGetFileAttributesExW(wide.c_str(), level, data);
}
HANDLE WINAPI StandInFindFirstFileExA(LPCSTR name, FINDEX_INFO_LEVELS level, LPVOID data,
                                      FINDEX_SEARCH_OPS op, LPVOID filter, DWORD flags) {
  const std::wstring wide = FromAnsi(name);
  WIN32_FIND_DATAW record;
  HANDLE h = g_shape == Shape::kChained
                 ? HookedFindFirstFileExW(wide.c_str(), level, &record, op, filter, flags)
                 : SystemFindFirstFileExW(wide.c_str(), level, &record, op, filter, flags);
  if (h != INVALID_HANDLE_VALUE) FindRecordToAnsi(record, static_cast<WIN32_FIND_DATAA*>(data));
  return h;
}
HANDLE WINAPI StandInFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  return StandInFindFirstFileExA(name, FindExInfoStandard, data, FindExSearchNameMatch, nullptr, 0);
}
HANDLE WINAPI StandInFindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  return g_shape == Shape::kChained ? HookedFindFirstFileExW(name, FindExInfoStandard, data,
                                                             FindExSearchNameMatch, nullptr, 0)
                                    : SystemFindFirstFileExW(name, FindExInfoStandard, data,
                                                             FindExSearchNameMatch, nullptr, 0);
}
BOOL WINAPI StandInFindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  WIN32_FIND_DATAW record;
  const BOOL found = g_shape == Shape::kChained ? HookedFindNextFileW(find, &record)
                                                : ::FindNextFileW(find, &record);
  if (found) FindRecordToAnsi(record, data);
  return found;
}
DWORD WINAPI StandInSearchPathA(LPCSTR path, LPCSTR name, LPCSTR extension, DWORD length,
                                LPSTR buffer, LPSTR* part) {
  const std::wstring wide_path = FromAnsi(path), wide_name = FromAnsi(name),
                     wide_extension = FromAnsi(extension);
  WCHAR found[MAX_PATH];
  WCHAR* found_part = nullptr;
  const DWORD got = g_shape == Shape::kChained
                        ? HookedSearchPathW(path ? wide_path.c_str() : nullptr, wide_name.c_str(),
                                            extension ? wide_extension.c_str() : nullptr, MAX_PATH,
                                            found, &found_part)
                        : SystemSearchPathW(path ? wide_path.c_str() : nullptr, wide_name.c_str(),
                                            extension ? wide_extension.c_str() : nullptr, MAX_PATH,
                                            found, &found_part);
  if (got == 0 || got >= MAX_PATH) return got;
  std::string ansi;
  WidePathToAnsi(found, &ansi);
  if (ansi.size() + 1 > length) return static_cast<DWORD>(ansi.size() + 1);
  std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
  if (part != nullptr) *part = std::strrchr(buffer, '\\') + 1;
  return static_cast<DWORD>(ansi.size());
}

std::string Narrow(const std::wstring& wide) {
  std::string ansi;
  WidePathToAnsi(wide.c_str(), &ansi);
  return ansi;
}

class PathFormsTest : public ::testing::TestWithParam<Shape> {
 protected:
  static void SetUpTestSuite() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root =
        std::wstring(temp) + L"path-forms-" + std::to_wstring(GetCurrentProcessId());
    game_ = root + L"\\game";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(game_.c_str(), nullptr);
    CreateDirectoryW((game_ + L"\\data").c_str(), nullptr);
    HANDLE h = ::CreateFileW((game_ + L"\\data\\disk.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(h, "on disk", 7, &written, nullptr);
    ::CloseHandle(h);
    archive_ = Narrow(root + L"\\patch.xp3");
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(archive_, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("data/arch.txt", "from the archive", 16, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("only/inner.txt", "inner", 5, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("only/semi;colon.txt", "semi", 4, &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
    log_ = Narrow(root + L"\\forms.log");
  }

  void SetUp() override {
    g_shape = GetParam();
    registry_ = std::make_unique<OverlayRegistry>(Narrow(game_));
    ASSERT_TRUE(registry_->Mount(archive_));
    saved_ = g_overlay_host;
    real_ = ImportedFileFunctions();
    real_.CreateFileW = &SystemCreateFileW;
    real_.GetFileAttributesW = &SystemGetFileAttributesW;
    real_.GetFileAttributesExW = &SystemGetFileAttributesExW;
    real_.FindFirstFileExW = &SystemFindFirstFileExW;
    real_.SearchPathW = &SystemSearchPathW;
    real_.CreateFileA = &StandInCreateFileA;
    real_.CreateFile2 = &StandInCreateFile2;
    real_.GetFileAttributesA = &StandInGetFileAttributesA;
    real_.GetFileAttributesExA = &StandInGetFileAttributesExA;
    real_.FindFirstFileA = &StandInFindFirstFileA;
    real_.FindFirstFileW = &StandInFindFirstFileW;
    real_.FindFirstFileExA = &StandInFindFirstFileExA;
    real_.FindNextFileA = &StandInFindNextFileA;
    real_.SearchPathA = &StandInSearchPathA;
    SetOverlayHost({registry_.get(), &sessions_, &real_});
    g_system_calls = 0;
    DeleteFileA(log_.c_str());
    ASSERT_TRUE(DiagnosticLogOpen(log_.c_str()));
  }
  void TearDown() override {
    DiagnosticLogClose();
    SetOverlayHost(saved_);
    EXPECT_EQ(sessions_.Size(), 0u);
  }

  std::string A(const wchar_t* relative) { return Narrow(game_ + L"\\" + relative); }

  // The log's lines that name `text`.
  int LogLinesNaming(const std::string& text) {
    DiagnosticLogClose();
    std::ifstream in(log_);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) count += line.find(text) != std::string::npos;
    EXPECT_TRUE(DiagnosticLogOpen(log_.c_str()));
    return count;
  }

  static std::string ReadAll(HANDLE h) {
    char buffer[64];
    DWORD got = 0;
    std::string bytes;
    while (HookedReadFile(h, buffer, sizeof buffer, &got, nullptr) && got != 0) {
      bytes.append(buffer, got);
    }
    return bytes;
  }

  std::vector<std::string> ListA(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA record;
    HANDLE h = HookedFindFirstFileA(pattern.c_str(), &record);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      names.push_back(record.cFileName);
    } while (HookedFindNextFileA(h, &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(HookedFindClose(h));
    std::sort(names.begin(), names.end());
    return names;
  }

  static inline std::wstring game_;
  static inline std::string archive_;
  static inline std::string log_;
  std::unique_ptr<OverlayRegistry> registry_;
  FindSessionSet sessions_;
  OverlayHost saved_;
  RealFileFunctions real_;
};

TEST_P(PathFormsTest, OpensAnOverlaidFileOnceAndPassesADiskFileOnce) {
  HANDLE own = HookedCreateFileA(A(L"data\\arch.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(registry_->IsOwnHandle(own));
  EXPECT_EQ(ReadAll(own), "from the archive");
  EXPECT_TRUE(HookedCloseHandle(own));
  EXPECT_EQ(g_system_calls, 0) << "an overlaid file never reaches the system";
  EXPECT_EQ(LogLinesNaming("data\\arch.txt"), 1);

  HANDLE disk = HookedCreateFileA(A(L"data\\disk.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(registry_->IsOwnHandle(disk));
  EXPECT_EQ(ReadAll(disk), "on disk");
  EXPECT_TRUE(HookedCloseHandle(disk));
  EXPECT_EQ(g_system_calls, 1);
  EXPECT_EQ(LogLinesNaming("data\\disk.txt"), 1) << "one answer, not one per form";

  SetLastError(1234);
  EXPECT_EQ(HookedCreateFileA(A(L"data\\missing.txt").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_P(PathFormsTest, CreateFile2OpensAnOverlaidFile) {
  CreateFile2Parameters parameters = {
      sizeof parameters, FILE_ATTRIBUTE_NORMAL, FILE_FLAG_SEQUENTIAL_SCAN, 0, nullptr, nullptr};
  const std::wstring path = game_ + L"\\only\\inner.txt";
  HANDLE own = HookedCreateFile2(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, &parameters);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  OVERLAPPED at = {};
  at.Offset = 2;
  char buffer[8] = {};
  DWORD got = 0;
  EXPECT_TRUE(HookedReadFile(own, buffer, sizeof buffer, &got, &at));
  EXPECT_EQ(std::string(buffer, got), "ner");
  EXPECT_TRUE(HookedCloseHandle(own));
  EXPECT_EQ(g_system_calls, 0);
  const std::wstring disk = game_ + L"\\data\\disk.txt";
  HANDLE real =
      HookedCreateFile2(disk.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, nullptr);
  ASSERT_NE(real, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(HookedCloseHandle(real));
  EXPECT_EQ(g_system_calls, 1);
}

TEST_P(PathFormsTest, AttributesOfFilesDirectoriesAndMissingNames) {
  EXPECT_EQ(HookedGetFileAttributesA(A(L"data\\arch.txt").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(HookedGetFileAttributesA(A(L"only").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_NE(HookedGetFileAttributesA(A(L"data\\disk.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(HookedGetFileAttributesA(A(L"data\\none.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(
      HookedGetFileAttributesExA(A(L"data\\arch.txt").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 16u);
  EXPECT_TRUE(
      HookedGetFileAttributesExA(A(L"data\\disk.txt").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 7u);
  EXPECT_EQ(LogLinesNaming("data\\disk.txt"), 2) << "two calls, one answer each";
}

TEST_P(PathFormsTest, ListingsMergeTheSameThroughEveryForm) {
  const std::vector<std::string> expected = {".", "..", "arch.txt", "disk.txt"};
  EXPECT_EQ(ListA(A(L"data\\*")), expected);
  // FindFirstFileExA, continued by the wide FindNextFileW: one session.
  WIN32_FIND_DATAA first;
  HANDLE h = HookedFindFirstFileExA(A(L"data\\*.txt").c_str(), FindExInfoBasic, &first,
                                    FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::string> names = {first.cFileName};
  WIN32_FIND_DATAW next;
  while (HookedFindNextFileW(h, &next)) names.push_back(Narrow(next.cFileName));
  EXPECT_TRUE(HookedFindClose(h));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"arch.txt", "disk.txt"}));
  // FindFirstFileW of a directory only the archive has.
  WIN32_FIND_DATAW record;
  h = HookedFindFirstFileW((game_ + L"\\only\\i*.txt").c_str(), &record);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(record.cFileName), L"inner.txt");
  EXPECT_FALSE(HookedFindNextFileW(h, &record));
  EXPECT_TRUE(HookedFindClose(h));
  // ';' is a character of the name, not a separator of patterns.
  EXPECT_EQ(ListA(A(L"only\\semi;*")), std::vector<std::string>{"semi;colon.txt"});
  EXPECT_EQ(ListA(A(L"only\\*;*")), std::vector<std::string>{"semi;colon.txt"});
  // A search outside the game directory is the system's.
  h = HookedFindFirstFileA("C:\\windows\\*.exe", &first);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(sessions_.Contains(h));
  EXPECT_TRUE(HookedFindClose(h));
}

// A search on another drive than the game's (a save folder, a share) is the
// system's: the same answer and the same last error, never the overlay's
// "file not found" for a folder that is not there.
TEST_P(PathFormsTest, SearchesOnAnotherDriveAreTheSystems) {
  const char drive = game_[0] == L'Z' ? 'Y' : 'Z';
  const std::string pid = std::to_string(GetCurrentProcessId());
  for (const std::string& rest :
       {"\\foo" + pid + ".tmp\\bar.txt", "\\foo" + pid + ".tmp\\*.*", std::string("\\nul\\*"),
        "\\foo" + pid + "\\bar\\nul", "\\foo" + pid + "\\nul\\bar", std::string("\\*")}) {
    const std::string pattern = std::string(1, drive) + ":" + rest;
    SCOPED_TRACE(pattern);
    WIN32_FIND_DATAA ours;
    WIN32_FIND_DATAA theirs;
    SetLastError(0);
    HANDLE h = HookedFindFirstFileA(pattern.c_str(), &ours);
    const DWORD our_error = GetLastError();
    SetLastError(0);
    HANDLE r = ::FindFirstFileA(pattern.c_str(), &theirs);
    const DWORD their_error = GetLastError();
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, r == INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(our_error, their_error);
    } else {
      EXPECT_FALSE(sessions_.Contains(h));
      HookedFindClose(h);
    }
    if (r != INVALID_HANDLE_VALUE) ::FindClose(r);
  }
}

TEST_P(PathFormsTest, SearchPathAFindsAnOverlaidFile) {
  char buffer[MAX_PATH];
  char* part = nullptr;
  const std::string name = A(L"only\\inner");
  const DWORD length = HookedSearchPathA(nullptr, name.c_str(), ".txt", MAX_PATH, buffer, &part);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::string(buffer, length), A(L"only\\inner.txt"));
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "inner.txt");
  EXPECT_EQ(g_system_calls, 0);
  // Too small a buffer: the room the answer needs.
  EXPECT_EQ(HookedSearchPathA(nullptr, name.c_str(), ".txt", 4, buffer, &part), length + 1);
}

// Along an explicit path list the first listed folder where the game would
// see the name decides: an overlaid file there is found, a disk file in an
// earlier folder wins over it.
TEST_P(PathFormsTest, SearchPathAlongAPathListFindsOverlaidFiles) {
  char buffer[MAX_PATH];
  char* part = nullptr;
  const std::string list =
      "C:\\nowhere-" + std::to_string(GetCurrentProcessId()) + ";" + A(L"only") + ";" + A(L"data");
  DWORD length = HookedSearchPathA(list.c_str(), "inner", ".txt", MAX_PATH, buffer, &part);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::string(buffer, length), A(L"only\\inner.txt"));
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "inner.txt");
  length = HookedSearchPathA(list.c_str(), "arch.txt", nullptr, MAX_PATH, buffer, &part);
  EXPECT_EQ(std::string(buffer, length), A(L"data\\arch.txt"));

  WCHAR wide[MAX_PATH];
  const std::wstring disk_first = game_ + L"\\data;" + game_ + L"\\only";
  WCHAR* wide_part = nullptr;
  length = HookedSearchPathW(disk_first.c_str(), L"disk.txt", nullptr, MAX_PATH, wide, &wide_part);
  EXPECT_EQ(std::wstring(wide, length), game_ + L"\\data\\disk.txt") << "the system's answer";
  SetLastError(0);
  EXPECT_EQ(HookedSearchPathW(disk_first.c_str(), L"none.txt", nullptr, MAX_PATH, wide, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_P(PathFormsTest, BytesThatDoNotConvertGoToTheSystemAsTheyStand) {
  // 0xFF is no valid lead byte in the multi-byte code pages and maps in the
  // single-byte ones; either way the system answers a name that is nowhere.
  const std::string name = A(L"data\\") + "\xFF\xFE.txt";
  EXPECT_EQ(HookedGetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(HookedCreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

INSTANTIATE_TEST_SUITE_P(BothShapes, PathFormsTest,
                         ::testing::Values(Shape::kChained, Shape::kDirect),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return info.param == Shape::kChained ? "Chained" : "Direct";
                         });

}  // namespace
