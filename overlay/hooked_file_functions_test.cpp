// The replacement file functions called directly, with the hook table still
// pointing at the real functions: overlay answers for overlaid paths and own
// handles, the real answers (result and last error) for everything else.
#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_search_path.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "overlay/overlay_host.h"
#include "overlay/path_strings.h"
#include "startup/process_globals.h"
#include "tools/xp3/xp3_writer.h"

namespace {

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                               static_cast<int>(w.size())));
  return w;
}

// A game-like tree below the test program's directory (the game directory of
// this process): <exe dir>\<unique>\ with a real subdirectory "disk" and a
// real file, and an archive whose entries lie below the same prefix.
class HookedFunctionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = "hooked-test-" + std::to_string(GetCurrentProcessId());
    root_ = Wide(TheOverlay().BaseDirectory() + "\\" + prefix_);
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW((root_ + L"\\disk").c_str(), nullptr);
    WriteDiskFile(L"disk\\real.txt", "real");
    // Shadowed by archive files: one in another ASCII case, one in the same.
    WriteDiskFile(L"disk\\Shadow.TXT", std::string(63, 'd'));
    WriteDiskFile(L"disk\\same.txt", "disk");

    Xp3WriterOptions options;
    options.segment_size = 100;
    Xp3Writer writer(options);
    std::string error;
    archive_ = TheOverlay().BaseDirectory() + "\\" + prefix_ + ".xp3";
    ASSERT_TRUE(writer.Open(archive_, &error)) << error;
    auto add = [&](const std::string& name, const std::string& content) {
      ASSERT_TRUE(writer.AddEntry(prefix_ + "/" + name, content.data(), content.size(), &error));
    };
    add("readme.txt", "readme!");
    add("disk/a.png", std::string(1000, 'a'));
    add("disk/b.png", "bb");
    add("voice/one.ogg", "1");
    add("voice/two.ogg", "22");
    add("deep/er/x.txt", "x");
    add("disk/shadow.txt", std::string(75, 't'));
    add("disk/same.txt", "archive");
    add("..dots/x.txt", "x");
    add("..file.txt", "f");
    for (int i = 0; i < 300; ++i) add("many/" + std::to_string(i), "m");
    ASSERT_TRUE(writer.AddEntry(DotsDirectory() + "/y.txt", "y", 1, &error));
    ASSERT_TRUE(writer.Finish(&error)) << error;
    ASSERT_TRUE(TheOverlay().Mount(archive_));
  }
  static void TearDownTestSuite() {
    for (const wchar_t* name : {L"real.txt", L"Shadow.TXT", L"same.txt"}) {
      DeleteFileW((root_ + L"\\disk\\" + name).c_str());
    }
    RemoveDirectoryW((root_ + L"\\disk").c_str());
    RemoveDirectoryW(root_.c_str());
  }

  static std::wstring Path(const std::wstring& relative) { return root_ + L"\\" + relative; }
  // An archive-only directory right in the game directory whose name begins
  // with two dots.
  static std::string DotsDirectory() { return ".." + prefix_; }

  static void WriteDiskFile(const std::wstring& relative, const std::string& content) {
    HANDLE f =
        CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(f);
  }

  static std::vector<WIN32_FIND_DATAW> ListRecords(const std::wstring& pattern, DWORD* error) {
    std::vector<WIN32_FIND_DATAW> records;
    WIN32_FIND_DATAW record;
    HANDLE h = HookedFindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record,
                                      FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return records;
    }
    do {
      records.push_back(record);
    } while (HookedFindNextFileW(h, &record));
    *error = GetLastError();
    EXPECT_FALSE(HookedFindNextFileW(h, &record));  // stays exhausted
    EXPECT_TRUE(HookedFindClose(h));
    return records;
  }

  // Names of a listing, directories marked with a trailing slash.
  static std::vector<std::wstring> List(const std::wstring& pattern, DWORD* error) {
    std::vector<std::wstring> names;
    for (const WIN32_FIND_DATAW& record : ListRecords(pattern, error)) {
      std::wstring name = record.cFileName;
      if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += L"/";
      names.push_back(name);
    }
    return names;
  }

  static std::string prefix_;
  static std::wstring root_;
  static std::string archive_;
};
std::string HookedFunctionsTest::prefix_;
std::wstring HookedFunctionsTest::root_;
std::string HookedFunctionsTest::archive_;

TEST_F(HookedFunctionsTest, OverlaidFileOpensReadsAndAnswersLikeADiskFile) {
  HANDLE h = HookedCreateFileW(Path(L"disk\\a.png").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HookedGetFileType(h), static_cast<DWORD>(FILE_TYPE_DISK));
  LARGE_INTEGER size{};
  ASSERT_TRUE(HookedGetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 1000);
  EXPECT_EQ(HookedSetFilePointer(h, 999, nullptr, FILE_BEGIN), 999u);
  // Opened for overlapped reads: one at an offset completes at once and
  // leaves the position.
  OVERLAPPED overlapped{};
  overlapped.Offset = 998;
  char buffer[2000];
  DWORD got = 12345;
  EXPECT_FALSE(HookedReadFile(h, buffer, 10, &got, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(got, 0u) << "nothing counted until the result is asked for, as the system does";
  ASSERT_TRUE(GetOverlappedResult(h, &overlapped, &got, FALSE));
  EXPECT_EQ(got, 2u);
  ASSERT_TRUE(HookedReadFile(h, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 1u);
  // The end reads as a disk file's: success with 0 bytes.
  got = 12345;
  EXPECT_TRUE(HookedReadFile(h, buffer, 1, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(HookedReadFile(h, buffer, 1, nullptr, nullptr));
  EXPECT_TRUE(HookedCloseHandle(h));
  // CREATE_ALWAYS on an overlaid path created nothing on disk.
  EXPECT_EQ(GetFileAttributesW(Path(L"disk\\a.png").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(HookedGetFileAttributesW(Path(L"disk\\a.png").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  WIN32_FILE_ATTRIBUTE_DATA data;
  SetLastError(1234);
  EXPECT_FALSE(
      HookedGetFileAttributesExW(Path(L"disk\\a.png").c_str(), GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // The second close reaches the real function with a value that is no longer own.
  SetLastError(0);
  BOOL real = CloseHandle(h);
  DWORD real_error = GetLastError();
  SetLastError(0);
  EXPECT_EQ(HookedCloseHandle(h), real);
  EXPECT_EQ(GetLastError(), real_error);
}

TEST_F(HookedFunctionsTest, SuccessfulOverlayAnswersLeaveTheLastError) {
  for (DWORD disposition : {OPEN_EXISTING, CREATE_ALWAYS, OPEN_ALWAYS}) {
    SCOPED_TRACE(disposition);
    SetLastError(1234);
    HANDLE h = HookedCreateFileW(Path(L"disk\\b.png").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, disposition, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 1234u) << "open";
    char buffer[8];
    DWORD got = 0;
    LARGE_INTEGER size{};
    for (int round = 0; round < 2; ++round) {  // the second read is at the end
      SetLastError(1234);
      ASSERT_TRUE(HookedReadFile(h, buffer, sizeof buffer, &got, nullptr));
      EXPECT_EQ(GetLastError(), 1234u) << "read";
    }
    SetLastError(1234);
    ASSERT_TRUE(HookedGetFileSizeEx(h, &size));
    EXPECT_EQ(HookedSetFilePointer(h, 1, nullptr, FILE_BEGIN), 1u);
    EXPECT_EQ(GetLastError(), 1234u) << "size and seek";
    SetLastError(1234);
    EXPECT_TRUE(HookedCloseHandle(h));
    EXPECT_EQ(GetLastError(), 1234u) << "close";
  }
}

TEST_F(HookedFunctionsTest, RealPathsAndHandlesPassThroughUntouched) {
  const std::wstring missing = Path(L"disk\\missing.txt");
  SetLastError(0);
  HANDLE expected =
      CreateFileW(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD expected_error = GetLastError();
  SetLastError(0);
  EXPECT_EQ(HookedCreateFileW(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            expected);
  EXPECT_EQ(GetLastError(), expected_error);

  HANDLE h = HookedCreateFileW(Path(L"disk\\real.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(TheOverlay().IsOwnHandle(h));
  char buffer[16];
  DWORD got = 0;
  ASSERT_TRUE(HookedReadFile(h, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "real");
  EXPECT_EQ(HookedGetFileSize(h, nullptr), 4u);
  EXPECT_EQ(HookedGetFileType(h), GetFileType(h));
  EXPECT_TRUE(HookedCloseHandle(h));
  EXPECT_EQ(HookedGetFileAttributesW(Path(L"disk").c_str()),
            GetFileAttributesW(Path(L"disk").c_str()));
}

TEST_F(HookedFunctionsTest, ArchiveOnlyDirectoriesAreDirectoriesToTheAttributeQueries) {
  for (const wchar_t* directory : {L"voice", L"VOICE\\", L"deep", L"deep/er"}) {
    SetLastError(1234);
    EXPECT_EQ(HookedGetFileAttributesW(Path(directory).c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
        << directory;
    EXPECT_EQ(GetLastError(), 1234u) << "a successful answer leaves the last error";
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0xCC, sizeof data);
    ASSERT_TRUE(HookedGetFileAttributesExW(Path(directory).c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u) << "the archive's time";
    EXPECT_EQ(data.ftCreationTime.dwLowDateTime, data.ftLastWriteTime.dwLowDateTime);
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_FALSE(HookedGetFileAttributesExW(Path(L"voice").c_str(), GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A directory on disk keeps the system's answer, with the system's times.
  WIN32_FILE_ATTRIBUTE_DATA real;
  ASSERT_TRUE(GetFileAttributesExW(Path(L"disk").c_str(), GetFileExInfoStandard, &real));
  ASSERT_TRUE(HookedGetFileAttributesExW(Path(L"disk").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(std::memcmp(&data, &real, sizeof data), 0);
  // Neither a file's name used as a directory, nor a directory's partial name.
  for (const wchar_t* none : {L"voice\\one.ogg\\x", L"voic", L"voice\\none"}) {
    SetLastError(0);
    EXPECT_EQ(HookedGetFileAttributesW(Path(none).c_str()), INVALID_FILE_ATTRIBUTES) << none;
    EXPECT_NE(GetLastError(), 0u);
  }
}

TEST_F(HookedFunctionsTest, ListingsMergeArchiveFilesAndArchiveOnlyDirectories) {
  DWORD error = 0;
  std::vector<std::wstring> top = List(Path(L"*"), &error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(std::count(top.begin(), top.end(), L"disk/"), 1);  // on disk: listed once
  EXPECT_EQ(std::count(top.begin(), top.end(), L"voice/"), 1);
  EXPECT_EQ(std::count(top.begin(), top.end(), L"deep/"), 1);
  EXPECT_EQ(std::count(top.begin(), top.end(), L"readme.txt"), 1);
  // The system's records come first.
  auto system_end = std::find(top.begin(), top.end(), L"readme.txt");
  EXPECT_NE(std::find(top.begin(), system_end, L"disk/"), system_end);

  std::vector<std::wstring> voice = List(Path(L"voice\\*"), &error);
  EXPECT_EQ(std::set<std::wstring>(voice.begin(), voice.end()),
            (std::set<std::wstring>{L"one.ogg", L"two.ogg"}));  // no "." or ".."
  std::vector<std::wstring> pngs = List(Path(L"disk\\*.png"), &error);
  EXPECT_EQ(std::set<std::wstring>(pngs.begin(), pngs.end()),
            (std::set<std::wstring>{L"a.png", L"b.png"}));
  std::vector<std::wstring> exact = List(Path(L"voice"), &error);
  EXPECT_EQ(exact, std::vector<std::wstring>{L"voice/"});
  // An empty search answers as the system would: no match in a directory
  // the archive holds is "file not found", and a folder that neither the
  // disk nor the archive holds is "path not found".
  error = 0;
  List(Path(L"voice\\*.none"), &error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  error = 0;
  List(Path(L"disk\\*.none"), &error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  error = 0;
  List(Path(L"nothing\\*"), &error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  error = 0;
  List(Path(L"nothing\\readme.txt"), &error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(HookedFunctionsTest, AnArchiveFileShadowsTheDiskFileOfTheSameNameInListings) {
  DWORD error = 0;
  const std::vector<WIN32_FIND_DATAW> records = ListRecords(Path(L"disk\\*"), &error);
  std::vector<std::wstring> names;
  for (const WIN32_FIND_DATAW& record : records) names.push_back(record.cFileName);
  // The disk's records that nothing shadows come first, in the system's order.
  auto real = std::find(names.begin(), names.end(), L"real.txt");
  ASSERT_NE(real, names.end());
  auto first_archive = std::find(names.begin(), names.end(), L"a.png");
  ASSERT_NE(first_archive, names.end());
  EXPECT_LT(real, first_archive);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"Shadow.TXT"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"shadow.txt"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"same.txt"), 1);
  // Each name that stays has the size that opening it gives.
  for (const WIN32_FIND_DATAW& record : records) {
    if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    HANDLE h = HookedCreateFileW(Path(std::wstring(L"disk\\") + record.cFileName).c_str(),
                                 GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << record.cFileName;
    EXPECT_EQ(HookedGetFileSize(h, nullptr), record.nFileSizeLow) << record.cFileName;
    HookedCloseHandle(h);
  }
}

TEST_F(HookedFunctionsTest, NamesBeginningWithTwoDotsAreOrdinaryNames) {
  DWORD error = 0;
  std::vector<std::wstring> top = List(Path(L"*"), &error);
  EXPECT_EQ(std::count(top.begin(), top.end(), L"..dots/"), 1);
  EXPECT_EQ(std::count(top.begin(), top.end(), L"..file.txt"), 1);
  EXPECT_EQ(List(Path(L"..dots\\*"), &error), std::vector<std::wstring>{L"x.txt"});
  const std::wstring dots = Wide(TheOverlay().BaseDirectory() + "\\" + DotsDirectory());
  EXPECT_EQ(List(dots + L"\\*", &error), std::vector<std::wstring>{L"y.txt"});
  EXPECT_EQ(HookedGetFileAttributesW(dots.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  HANDLE h = HookedCreateFileW((dots + L"\\y.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(HookedCloseHandle(h));
}

// Serves the replacements from another registry for one test.
class HostSwap {
 public:
  HostSwap(OverlayRegistry* registry, FindSessionSet* sessions)
      : saved_(g_overlay_host), real_(ImportedFileFunctions()) {
    SetOverlayHost({registry, sessions, &real_});
  }
  ~HostSwap() { SetOverlayHost(saved_); }

 private:
  OverlayHost saved_;
  RealFileFunctions real_;
};

TEST_F(HookedFunctionsTest, AGameAtADriveRootOpensAndListsByAbsolutePath) {
  // Wine's Z: drive (the host's root) stands for the game's drive; the
  // entries lie below a name that exists nowhere on disk.
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  char narrow[3 * MAX_PATH];
  narrow[WideCharToMultiByte(CP_UTF8, 0, temp, static_cast<int>(length), narrow, sizeof narrow - 1,
                             nullptr, nullptr)] = 0;
  const std::string archive = narrow + prefix_ + "-root.xp3";
  {
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(archive, &error)) << error;
    ASSERT_TRUE(writer.AddEntry(prefix_ + "/a.txt", "at the root", 11, &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
  }
  {
    OverlayRegistry registry(GameDirectoryOf("Z:\\game.exe"));
    ASSERT_EQ(registry.BaseDirectory(), "Z:\\");
    ASSERT_TRUE(registry.Mount(archive));
    FindSessionSet sessions;
    HostSwap swap(&registry, &sessions);
    const std::wstring directory = L"Z:\\" + Wide(prefix_);
    HANDLE h = HookedCreateFileW((directory + L"\\a.txt").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(HookedGetFileSize(h, nullptr), 11u);
    EXPECT_TRUE(HookedCloseHandle(h));
    EXPECT_EQ(HookedGetFileAttributesW(directory.c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    DWORD error = 0;
    EXPECT_EQ(List(directory + L"\\*", &error), std::vector<std::wstring>{L"a.txt"});
    const std::vector<std::wstring> root = List(L"Z:\\*", &error);
    EXPECT_EQ(std::count(root.begin(), root.end(), Wide(prefix_) + L"/"), 1);
    EXPECT_EQ(sessions.Size(), 0u);
  }
  EXPECT_TRUE(DeleteFileA(archive.c_str()));
}

TEST_F(HookedFunctionsTest, SearchesOutsideTheGameDirectoryReachTheSystem) {
  // The parent of the game directory, on the same drive.
  const std::string base = TheOverlay().BaseDirectory();
  const std::wstring parent = Wide(base.substr(0, base.rfind('\\'))) + L"\\*";
  WIN32_FIND_DATAW record;
  HANDLE h = HookedFindFirstFileExW(parent.c_str(), FindExInfoStandard, &record,
                                    FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(TheFindSessions().Contains(h));
  EXPECT_TRUE(HookedFindNextFileW(h, &record));
  EXPECT_TRUE(HookedFindClose(h));
}

// Runs `body(0)` and `body(1)` on two threads released together, `rounds`
// times: `prepare` before each round, `check` after both have finished it.
template <typename Prepare, typename Body, typename Check>
void RaceTwoThreads(int rounds, Prepare prepare, Body body, Check check) {
  std::atomic<int> released{0};
  std::atomic<int> finished{0};
  auto worker = [&](int index) {
    for (int round = 1; round <= rounds; ++round) {
      // Spin briefly before yielding, so that both threads are running when
      // the round is released.
      for (int spins = 1; released.load() < round; ++spins) {
        if (spins % 4096 == 0) SwitchToThread();
      }
      body(index);
      finished.fetch_add(1);
    }
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  for (int round = 1; round <= rounds; ++round) {
    prepare();
    released.store(round);
    while (finished.load() < 2 * round) SwitchToThread();
    check();
  }
  first.join();
  second.join();
}

TEST_F(HookedFunctionsTest, TwoThreadsClosingOneHandleGetExactlyOneSuccess) {
  // Both threads close the same handles in the same order, meeting before
  // each, so that every handle is closed by the two at nearly one moment.
  constexpr int kHandles = 100;
  HANDLE handles[kHandles];
  std::atomic<int> arrived[kHandles];
  BOOL results[2][kHandles];
  DWORD errors[2][kHandles];
  int failures = 0;
  RaceTwoThreads(
      30,
      [&] {
        for (std::atomic<int>& count : arrived) count.store(0);
        for (HANDLE& h : handles) {
          h = HookedCreateFileW(Path(L"readme.txt").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        }
      },
      [&](int index) {
        for (int i = 0; i < kHandles; ++i) {
          arrived[i].fetch_add(1);
          for (int spins = 1; arrived[i].load() < 2; ++spins) {
            if (spins % 4096 == 0) SwitchToThread();
          }
          SetLastError(0);
          results[index][i] = HookedCloseHandle(handles[i]);
          errors[index][i] = GetLastError();
        }
      },
      [&] {
        for (int i = 0; i < kHandles; ++i) {
          if (results[0][i] + results[1][i] != 1) ++failures;
          const int loser = results[0][i] ? 1 : 0;
          if (errors[loser][i] != ERROR_INVALID_HANDLE) ++failures;
          if (TheOverlay().IsOwnHandle(handles[i])) ++failures;
        }
      });
  EXPECT_EQ(failures, 0);
}

TEST_F(HookedFunctionsTest, TwoThreadsWalkingOneListingShareItsRecords) {
  HANDLE h = INVALID_HANDLE_VALUE;
  std::vector<std::wstring> seen[2];
  std::wstring first;
  int failures = 0;
  RaceTwoThreads(
      40,
      [&] {
        WIN32_FIND_DATAW record;
        h = HookedFindFirstFileExW(Path(L"many\\*").c_str(), FindExInfoStandard, &record,
                                   FindExSearchNameMatch, nullptr, 0);
        first = record.cFileName;
        seen[0].clear();
        seen[1].clear();
      },
      [&](int index) {
        WIN32_FIND_DATAW record;
        while (HookedFindNextFileW(h, &record)) seen[index].push_back(record.cFileName);
      },
      [&] {
        std::vector<std::wstring> all = seen[0];
        all.insert(all.end(), seen[1].begin(), seen[1].end());
        all.push_back(first);
        std::sort(all.begin(), all.end());
        if (all.size() != 300 || std::unique(all.begin(), all.end()) != all.end()) ++failures;
        HookedFindClose(h);
      });
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(TheFindSessions().Size(), 0u);
}

TEST_F(HookedFunctionsTest, ThreadsMixingOverlaidAndRealFilesAndSearches) {
  std::vector<std::thread> threads;
  std::vector<int> errors(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        const bool overlay = (t + round) % 2 == 0;
        HANDLE h =
            HookedCreateFileW(Path(overlay ? L"disk\\a.png" : L"disk\\real.txt").c_str(),
                              GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[1200];
        DWORD got = 0;
        LARGE_INTEGER to{};
        to.QuadPart = overlay ? 500 : 1;
        if (h == INVALID_HANDLE_VALUE || !HookedSetFilePointerEx(h, to, nullptr, FILE_BEGIN) ||
            !HookedReadFile(h, buffer, sizeof buffer, &got, nullptr) ||
            got != (overlay ? 500u : 3u) ||
            std::string(buffer, got) != (overlay ? std::string(500, 'a') : std::string("eal"))) {
          ++errors[t];
        }
        HookedCloseHandle(h);
        DWORD error = 0;
        if (List(Path(L"voice\\*"), &error).size() != 2) ++errors[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(errors[t], 0) << "thread " << t;
}

}  // namespace

// The path query that OpenFile and mmioOpen make before they open a file:
// an overlaid file is found where the system would find a disk file, with
// the default extension, and the full path goes back as the system gives it.
TEST_F(HookedFunctionsTest, SearchPathFindsOverlaidFilesAndPassesEverythingElse) {
  WCHAR found[MAX_PATH] = {};
  WCHAR* part = nullptr;
  const std::wstring readme = Path(L"readme.txt");
  DWORD length = HookedSearchPathW(nullptr, readme.c_str(), nullptr, MAX_PATH, found, &part);
  ASSERT_EQ(length, readme.size());
  EXPECT_EQ(std::wstring(found), readme);
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, L"readme.txt");
  // The default extension is added to a name without one.
  length = HookedSearchPathW(nullptr, Path(L"readme").c_str(), L".txt", MAX_PATH, found, nullptr);
  EXPECT_EQ(length, readme.size());
  // Too small a buffer: the room needed, the null included, as the system.
  WCHAR small[4];
  EXPECT_EQ(HookedSearchPathW(nullptr, readme.c_str(), nullptr, 4, small, nullptr),
            readme.size() + 1);
  // Disk files and missing ones get the system's answers.
  const std::wstring real = Path(L"disk\\real.txt");
  EXPECT_EQ(HookedSearchPathW(nullptr, real.c_str(), nullptr, MAX_PATH, found, nullptr),
            SearchPathW(nullptr, real.c_str(), nullptr, MAX_PATH, found, nullptr));
  SetLastError(0);
  EXPECT_EQ(
      HookedSearchPathW(nullptr, Path(L"none.txt").c_str(), nullptr, MAX_PATH, found, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A relative name is the game directory's whatever the current directory
  // is: the answer is the path CreateFileW serves it under, and opens.
  WCHAR saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW((root_ + L"\\disk").c_str()));
  const std::wstring relative = Wide(prefix_) + L"\\readme.txt";
  length = HookedSearchPathW(nullptr, relative.c_str(), nullptr, MAX_PATH, found, &part);
  SetCurrentDirectoryW(saved);
  ASSERT_EQ(length, readme.size());
  EXPECT_EQ(std::wstring(found), readme);
  EXPECT_STREQ(part, L"readme.txt");
  HANDLE h =
      HookedCreateFileW(found, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) HookedCloseHandle(h);
}
