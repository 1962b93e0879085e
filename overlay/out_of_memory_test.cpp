// The replacement functions when memory runs out.
//
// This program replaces the global allocation functions with ones that can
// fail the k-th allocation. Each operation a game makes (open, read, seek and
// close of stored, zlib and zstd entries and of a memory file, a listing, the
// attribute queries) is run with k = 1, 2, ... until it completes without
// reaching k, so that every allocation on its way fails once. Every run must
// end either with the right result or with a clean Win32 failure: the
// failure result with ERROR_OUTOFMEMORY, or, for a read whose entry stream
// could not get memory to decode, the read error 6815. Nothing may be left
// behind (open handles, find sessions, memory blocks), and the same
// operation must work at once afterwards: a lock left held would hang it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_handle_functions.h"
#include "startup/process_globals.h"
#include "tools/xp3/xp3_writer.h"

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_allocations{0};  // counted while armed
std::atomic<long> g_fail_at{0};
std::atomic<bool> g_injected{false};
std::atomic<long> g_live_blocks{0};

void* Allocate(std::size_t size) noexcept {
  if (g_armed.load() && g_allocations.fetch_add(1) + 1 == g_fail_at.load()) {
    g_injected = true;
    return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) g_live_blocks.fetch_add(1);
  return block;
}

void Free(void* block) noexcept {
  if (block == nullptr) return;
  g_live_blocks.fetch_sub(1);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }

namespace {

constexpr DWORD kHandleNoLongerValid = 6815;

void Arm(long fail_at) {
  g_allocations = 0;
  g_fail_at = fail_at;
  g_injected = false;
  g_armed = true;
}

// Stops injecting; true when the armed allocation was reached and failed.
bool Disarm() {
  g_armed = false;
  return g_injected.load();
}

// How one run of an operation ended. The operations allocate nothing
// themselves, so that every injected failure hits the code under test.
struct Outcome {
  bool completed = true;
  DWORD error = 0;              // last error of the call that failed
  bool in_read = false;         // that call was a ReadFile
  const char* wrong = nullptr;  // a result that is wrong rather than failed
};

Outcome Failed(DWORD error, bool in_read = false) {
  Outcome outcome;
  outcome.completed = false;
  outcome.error = error;
  outcome.in_read = in_read;
  return outcome;
}

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                               static_cast<int>(w.size())));
  return w;
}

// Opens, reads to the end in pieces, reads again from the middle, measures
// and closes; every byte is checked against `content`.
Outcome ReadWhole(const std::wstring& path, const std::string& content) {
  HANDLE h = HookedCreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  Outcome outcome;
  char buffer[3000];
  size_t offset = 0;
  for (;;) {
    DWORD got = 12345;
    if (!HookedReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (got != 0) outcome.wrong = "a failed read counted bytes";
      outcome = Failed(error, true);
      break;
    }
    if (got == 0) {  // the end, as on disk
      if (offset != content.size()) outcome.wrong = "the end came early";
      break;
    }
    if (offset + got > content.size() || std::memcmp(buffer, content.data() + offset, got) != 0) {
      outcome.wrong = "wrong bytes";
      break;
    }
    offset += got;
  }
  if (outcome.completed && outcome.wrong == nullptr) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(content.size() / 2);
    DWORD got = 0;
    if (!HookedSetFilePointerEx(h, to, nullptr, FILE_BEGIN)) {
      outcome = Failed(GetLastError());
    } else if (!HookedReadFile(h, buffer, 100, &got, nullptr)) {
      outcome = Failed(GetLastError(), true);
    } else if (got != 100 || std::memcmp(buffer, content.data() + to.QuadPart, 100) != 0) {
      outcome.wrong = "wrong bytes after a seek";
    } else if (HookedGetFileSize(h, nullptr) != content.size()) {
      outcome.wrong = "wrong size";
    }
  }
  if (!HookedCloseHandle(h)) outcome.wrong = "the close failed";
  return outcome;
}

// Lists `pattern` and checks that it gives exactly `expected`, once each.
Outcome List(const std::wstring& pattern, const std::vector<std::wstring>& expected) {
  WIN32_FIND_DATAW record;
  HANDLE h = HookedFindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record,
                                    FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  Outcome outcome;
  bool seen[16] = {};
  size_t count = 0;
  do {
    ++count;
    size_t i = 0;
    while (i < expected.size() && expected[i] != record.cFileName) ++i;
    if (i == expected.size() || seen[i]) outcome.wrong = "a record not expected";
    if (i < expected.size()) seen[i] = true;
  } while (HookedFindNextFileW(h, &record));
  if (GetLastError() != ERROR_NO_MORE_FILES) outcome.wrong = "the listing did not end cleanly";
  if (count != expected.size()) outcome.wrong = "records missing";
  if (!HookedFindClose(h)) outcome.wrong = "the close failed";
  return outcome;
}

class OutOfMemoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = "oom-test-" + std::to_string(GetCurrentProcessId());
    root_ = TheOverlay().BaseDirectory() + "\\" + prefix_;
    CreateDirectoryW(Wide(root_).c_str(), nullptr);
    HANDLE f = CreateFileW(Wide(root_ + "\\disk.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, "on disk", 7, &written, nullptr);
    CloseHandle(f);

    // Compressible, but not trivially: several segments of each kind.
    for (int i = 0; i < 20000; ++i) content_ += static_cast<char>('a' + (i * 7 + i / 13) % 26);
    long_name_ = std::string(700, 'n');
    const std::pair<Xp3Compression, const char*> kinds[] = {{Xp3Compression::kNone, "stored"},
                                                            {Xp3Compression::kZlib, "zlib"},
                                                            {Xp3Compression::kZstd, "zstd"}};
    for (const auto& [compression, kind] : kinds) {
      Xp3WriterOptions options;
      options.compression = compression;
      options.segment_size = 4096;
      Xp3Writer writer(options);
      std::string error;
      const std::string archive = root_ + "-" + kind + ".xp3";
      ASSERT_TRUE(writer.Open(archive, &error)) << error;
      ASSERT_TRUE(writer.AddEntry(prefix_ + "/" + kind + "/data.bin", content_.data(),
                                  content_.size(), &error));
      ASSERT_TRUE(writer.AddEntry(prefix_ + "/" + kind + "/" + long_name_, content_.data(),
                                  content_.size(), &error));
      ASSERT_TRUE(writer.Finish(&error)) << error;
      ASSERT_TRUE(TheOverlay().Mount(archive));
      archives_.push_back(archive);
    }
    TheOverlay().StoreMemoryFile(prefix_ + "\\memory.txt",
                                 std::vector<unsigned char>(content_.begin(), content_.end()));
  }
  static void TearDownTestSuite() {
    DeleteFileW(Wide(root_ + "\\disk.txt").c_str());
    RemoveDirectoryW(Wide(root_).c_str());
  }

  static std::wstring Path(const std::string& relative) { return Wide(root_ + "\\" + relative); }

  // Runs `operation` with each of its allocations failing in turn.
  static void FailEachAllocation(const std::function<Outcome()>& operation) {
    // The segment cache keeps a segment when it is decoded a second time:
    // after three runs it holds what the operation reads, and what it holds
    // stays the same from run to run.
    for (int warm = 0; warm < 3; ++warm) {
      const Outcome first = operation();
      ASSERT_TRUE(first.completed) << "error " << first.error;
      ASSERT_EQ(first.wrong, nullptr) << first.wrong;
    }
    const size_t handles = TheOverlay().OpenHandleCount();
    const size_t sessions = TheFindSessions().Size();
    const long blocks = g_live_blocks.load();
    int failures = 0;
    for (long k = 1;; ++k) {
      Arm(k);
      const Outcome outcome = operation();
      const bool injected = Disarm();
      ASSERT_EQ(outcome.wrong, nullptr) << "allocation " << k << ": " << outcome.wrong;
      if (!outcome.completed) {
        ASSERT_TRUE(injected) << "allocation " << k << ": failed with " << outcome.error
                              << " where nothing was injected";
        ASSERT_TRUE(outcome.error == ERROR_OUTOFMEMORY ||
                    (outcome.in_read && outcome.error == kHandleNoLongerValid))
            << "allocation " << k << ": error " << outcome.error;
      }
      ASSERT_EQ(TheOverlay().OpenHandleCount(), handles) << "allocation " << k;
      ASSERT_EQ(TheFindSessions().Size(), sessions) << "allocation " << k;
      ASSERT_EQ(g_live_blocks.load(), blocks) << "allocation " << k << ": memory left behind";
      const Outcome again = operation();
      ASSERT_TRUE(again.completed && again.wrong == nullptr)
          << "allocation " << k << ": the next call failed (" << again.error << ")";
      if (!injected) {
        EXPECT_GT(k, 1) << "the operation allocates nothing";
        std::printf("  %ld allocation points, %d failed cleanly\n", k - 1, failures);
        return;
      }
      if (!outcome.completed) ++failures;
    }
  }

  static std::string prefix_;
  static std::string root_;
  static std::string content_;
  static std::string long_name_;
  static std::vector<std::string> archives_;
};
std::string OutOfMemoryTest::prefix_;
std::string OutOfMemoryTest::root_;
std::string OutOfMemoryTest::content_;
std::string OutOfMemoryTest::long_name_;
std::vector<std::string> OutOfMemoryTest::archives_;

TEST_F(OutOfMemoryTest, OpenReadSeekAndCloseOfEveryKindOfEntry) {
  for (const char* kind : {"stored", "zlib", "zstd"}) {
    SCOPED_TRACE(kind);
    const std::wstring path = Path(std::string(kind) + "\\data.bin");
    FailEachAllocation([&] { return ReadWhole(path, content_); });
  }
}

TEST_F(OutOfMemoryTest, OpenAndReadOfAMemoryFile) {
  const std::wstring path = Path("memory.txt");
  FailEachAllocation([&] { return ReadWhole(path, content_); });
}

TEST_F(OutOfMemoryTest, PathsLongerThanTheKeyBuildersOwnStorage) {
  const std::wstring path = Path("zstd\\" + long_name_);
  FailEachAllocation([&] { return ReadWhole(path, content_); });
  FailEachAllocation([&] {
    return HookedGetFileAttributesW(path.c_str()) == FILE_ATTRIBUTE_READONLY
               ? Outcome{}
               : Failed(GetLastError());
  });
}

TEST_F(OutOfMemoryTest, ListingsOfTheDiskMergedWithArchivesAndOfArchiveOnlyDirectories) {
  const std::wstring top = Path("*");
  const std::vector<std::wstring> top_names = {L".",      L"..",   L"disk.txt",
                                               L"stored", L"zlib", L"zstd"};
  FailEachAllocation([&] { return List(top, top_names); });
  const std::wstring archive_only = Path("zstd\\*");
  // A listed name is cut to fit the record.
  const std::vector<std::wstring> archive_names = {L"data.bin",
                                                   Wide(long_name_).substr(0, MAX_PATH - 1)};
  FailEachAllocation([&] { return List(archive_only, archive_names); });
}

TEST_F(OutOfMemoryTest, AttributesOfOverlaidFilesAndArchiveOnlyDirectories) {
  const std::wstring file = Path("zlib\\data.bin");
  const std::wstring directory = Path("zlib");
  FailEachAllocation([&] {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!HookedGetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) {
      return Failed(GetLastError());
    }
    Outcome outcome;
    if (data.nFileSizeLow != content_.size()) outcome.wrong = "wrong size";
    if (!HookedGetFileAttributesExW(directory.c_str(), GetFileExInfoStandard, &data)) {
      return Failed(GetLastError());
    }
    if (data.dwFileAttributes != FILE_ATTRIBUTE_DIRECTORY) outcome.wrong = "not a directory";
    const DWORD attributes = HookedGetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(GetLastError());
    if (attributes != FILE_ATTRIBUTE_DIRECTORY) outcome.wrong = "not a directory";
    return outcome;
  });
}

int g_completions = 0;
void CALLBACK CountCompletion(DWORD, DWORD, OVERLAPPED*) { ++g_completions; }

// Opens an entry, duplicates its handle, reads at offsets (overlapped and
// with a completion routine), asks every information query, maps it and
// closes both handles.
Outcome UseHandleFunctions(const std::wstring& path, const std::string& content) {
  HANDLE h = HookedCreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  Outcome outcome;
  HANDLE duplicate = nullptr;
  char buffer[200];
  DWORD got = 0;
  OVERLAPPED at = {};
  at.Offset = 5000;
  BY_HANDLE_FILE_INFORMATION information;
  FILE_NAME_INFO* name = nullptr;
  alignas(FILE_NAME_INFO) static unsigned char name_buffer[2048];
  WCHAR final_path[1024];
  HANDLE mapping = nullptr;
  if (!HookedDuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &duplicate, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
    outcome = Failed(GetLastError());
  } else if (!HookedReadFile(duplicate, buffer, 200, &got, &at)) {
    outcome = Failed(GetLastError(), true);
  } else if (got != 200 || std::memcmp(buffer, content.data() + 5000, 200) != 0) {
    outcome.wrong = "wrong bytes at an offset";
  } else if (!HookedReadFileEx(h, buffer, 100, &at, &CountCompletion)) {
    outcome = Failed(GetLastError(), true);
  } else if (SleepEx(0, TRUE) != WAIT_IO_COMPLETION) {
    outcome.wrong = "no completion";
  } else if (!HookedGetFileInformationByHandle(h, &information)) {
    outcome = Failed(GetLastError());
  } else if (information.nFileSizeLow != content.size()) {
    outcome.wrong = "wrong size";
  } else if (name = reinterpret_cast<FILE_NAME_INFO*>(name_buffer);
             !HookedGetFileInformationByHandleEx(h, FileNameInfo, name, 2048)) {
    outcome = Failed(GetLastError());
  } else if (HookedGetFinalPathNameByHandleW(h, final_path, 1024, 0) == 0) {
    outcome = Failed(GetLastError());
  } else if ((mapping = HookedCreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr)) ==
             nullptr) {
    outcome = Failed(GetLastError(), true);  // filling it reads the entry
  } else {
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr || std::memcmp(view, content.data(), content.size()) != 0) {
      outcome.wrong = "wrong mapped bytes";
    }
    UnmapViewOfFile(view);
    CloseHandle(mapping);
  }
  if (duplicate != nullptr && !HookedCloseHandle(duplicate)) outcome.wrong = "the close failed";
  if (!HookedCloseHandle(h)) outcome.wrong = "the close failed";
  return outcome;
}

TEST_F(OutOfMemoryTest, HandleFunctionsOfAnOverlaidFile) {
  for (const char* kind : {"stored", "zstd"}) {
    SCOPED_TRACE(kind);
    const std::wstring path = Path(std::string(kind) + "\\data.bin");
    FailEachAllocation([&] { return UseHandleFunctions(path, content_); });
  }
}

TEST_F(OutOfMemoryTest, RealHandlesPassThroughWithoutAllocating) {
  HANDLE real = CreateFileW(Path("disk.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(real, INVALID_HANDLE_VALUE);
  // An overlay handle open meanwhile, so that the handle test has a table to
  // look at.
  HANDLE own = HookedCreateFileW(Path("zstd\\data.bin").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  char buffer[16];
  DWORD count = 0;
  OVERLAPPED at = {};
  BY_HANDLE_FILE_INFORMATION information;
  FILE_STANDARD_INFO standard;
  FILETIME time;
  WCHAR path[600];
  char narrow[600];
  Arm(0);  // counts, never fails
  HookedReadFile(real, buffer, sizeof buffer, &count, nullptr);
  HookedReadFile(real, buffer, sizeof buffer, &count, &at);
  HookedReadFileEx(real, buffer, sizeof buffer, &at, &CountCompletion);
  HookedGetFileSize(real, nullptr);
  HookedGetFileType(real);
  HookedSetFilePointer(real, 0, nullptr, FILE_BEGIN);
  HookedGetFileInformationByHandle(real, &information);
  HookedGetFileInformationByHandleEx(real, FileStandardInfo, &standard, sizeof standard);
  HookedGetFileTime(real, &time, &time, &time);
  HookedGetFinalPathNameByHandleW(real, path, 600, 0);
  HookedGetFinalPathNameByHandleA(real, narrow, 600, 0);
  HANDLE mapping = HookedCreateFileMappingW(real, nullptr, PAGE_READONLY, 0, 0, nullptr);
  HANDLE mapping_a = HookedCreateFileMappingA(real, nullptr, PAGE_READONLY, 0, 0, nullptr);
  HANDLE duplicate = nullptr;
  HookedDuplicateHandle(GetCurrentProcess(), real, GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
  HookedWriteFile(real, "x", 1, &count, nullptr);
  HookedWriteFileEx(real, "x", 1, &at, &CountCompletion);
  HookedSetEndOfFile(real);
  HookedFlushFileBuffers(real);
  HookedSetFileTime(real, nullptr, nullptr, nullptr);
  HookedSetFileInformationByHandle(real, FileBasicInfo, &information, 0);
  HookedCloseHandle(mapping);
  HookedCloseHandle(mapping_a);
  HookedCloseHandle(duplicate);
  const long allocations = g_allocations.load();
  Disarm();
  SleepEx(0, TRUE);
  EXPECT_EQ(allocations, 0);
  EXPECT_NE(mapping, nullptr);
  EXPECT_NE(duplicate, nullptr);
  HookedCloseHandle(own);
  CloseHandle(real);
}

}  // namespace
