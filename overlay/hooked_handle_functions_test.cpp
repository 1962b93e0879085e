// The handle functions on overlay handles, each answer compared with the
// system's answer for a read-only handle to a disk file holding the same
// bytes, and on real handles, where they must pass through untouched. The
// replacements are called directly; the hook table points at the real
// functions.
#include "overlay/hooked_handle_functions.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <string>
#include <vector>

#include "overlay/hooked_file_functions.h"
#include "platform/positioned_file.h"
#include "startup/process_globals.h"
#include "tools/xp3/xp3_writer.h"

namespace {

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                               static_cast<int>(w.size())));
  return w;
}

// An overlay handle and a handle to a disk file of the same bytes, opened
// alike; both closed at the end of the scope.
struct Pair {
  HANDLE own = INVALID_HANDLE_VALUE;
  HANDLE disk = INVALID_HANDLE_VALUE;
  ~Pair() {
    if (own != INVALID_HANDLE_VALUE) HookedCloseHandle(own);
    if (disk != INVALID_HANDLE_VALUE) HookedCloseHandle(disk);
  }
};

// One call's visible outcome.
struct Answer {
  long long result;
  DWORD error;
  bool operator==(const Answer&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Answer& answer) {
  return out << "{" << answer.result << ", error " << answer.error << "}";
}
template <typename Call>
Answer AnswerOf(Call call) {
  SetLastError(1234);
  const auto value = call();
  long long result = 0;
  if constexpr (std::is_pointer_v<decltype(value)>) {
    result = value != nullptr ? 1 : 0;  // handles differ; whether one came does not
  } else {
    result = static_cast<long long>(value);
  }
  return {result, GetLastError()};
}

// <game directory>\<unique>\data\ holds the archive's files, \disk\ their
// copies on disk; the archive stores a compressed file of several segments,
// a stored one and an empty one.
class HandleFunctionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = "handle-test-" + std::to_string(GetCurrentProcessId());
    root_ = Wide(TheOverlay().BaseDirectory() + "\\" + prefix_);
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW((root_ + L"\\disk").c_str(), nullptr);
    for (int i = 0; i < 5000; ++i) content_ += static_cast<char>('a' + (i * 7 + i / 13) % 26);
    WriteDiskFile(L"disk\\content.bin", content_);
    WriteDiskFile(L"disk\\stored.bin", "stored bytes");
    WriteDiskFile(L"disk\\empty.bin", "");

    Xp3WriterOptions options;
    options.compression = Xp3Compression::kZstd;
    options.segment_size = 1000;
    Xp3Writer writer(options);
    std::string error;
    archive_ = TheOverlay().BaseDirectory() + "\\" + prefix_ + ".xp3";
    ASSERT_TRUE(writer.Open(archive_, &error)) << error;
    ASSERT_TRUE(
        writer.AddEntry(prefix_ + "/data/content.bin", content_.data(), content_.size(), &error));
    ASSERT_TRUE(writer.AddEntry(prefix_ + "/data/empty.bin", "", 0, &error));
    ASSERT_TRUE(writer.Finish(&error)) << error;
    ASSERT_TRUE(TheOverlay().Mount(archive_));
    Xp3WriterOptions stored;
    stored.compression = Xp3Compression::kNone;
    Xp3Writer second(stored);
    stored_archive_ = TheOverlay().BaseDirectory() + "\\" + prefix_ + "-stored.xp3";
    ASSERT_TRUE(second.Open(stored_archive_, &error)) << error;
    ASSERT_TRUE(second.AddEntry(prefix_ + "/data/stored.bin", "stored bytes", 12, &error));
    ASSERT_TRUE(second.Finish(&error)) << error;
    ASSERT_TRUE(TheOverlay().Mount(stored_archive_));
    // An archive of its own for the test that makes its reads fail: a failed
    // read of an archive file fails every later read of that archive.
    Xp3Writer third(options);
    ASSERT_TRUE(third.Open(TheOverlay().BaseDirectory() + "\\" + prefix_ + "-damaged.xp3", &error));
    ASSERT_TRUE(
        third.AddEntry(prefix_ + "/data/damaged.bin", content_.data(), content_.size(), &error));
    ASSERT_TRUE(third.Finish(&error)) << error;
    ASSERT_TRUE(TheOverlay().Mount(TheOverlay().BaseDirectory() + "\\" + prefix_ + "-damaged.xp3"));
  }
  static void TearDownTestSuite() {
    for (const wchar_t* name : {L"content.bin", L"stored.bin", L"empty.bin"}) {
      DeleteFileW((root_ + L"\\disk\\" + name).c_str());
    }
    RemoveDirectoryW((root_ + L"\\disk").c_str());
    RemoveDirectoryW(root_.c_str());
  }

  static std::wstring Path(const std::wstring& relative) { return root_ + L"\\" + relative; }

  static void WriteDiskFile(const std::wstring& relative, const std::string& bytes) {
    HANDLE f =
        CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
  }

  // `name` under data\ (overlaid) and disk\ (its copy), opened for reading.
  static void Open(const std::wstring& name, DWORD flags, Pair* pair) {
    pair->own = HookedCreateFileW(Path(L"data\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, flags, nullptr);
    pair->disk = HookedCreateFileW(Path(L"disk\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, flags, nullptr);
    ASSERT_TRUE(TheOverlay().IsOwnHandle(pair->own));
    ASSERT_NE(pair->disk, INVALID_HANDLE_VALUE);
    ASSERT_FALSE(TheOverlay().IsOwnHandle(pair->disk));
  }

  static DWORD Position(HANDLE h) { return HookedSetFilePointer(h, 0, nullptr, FILE_CURRENT); }

  static std::string prefix_;
  static std::wstring root_;
  static std::string content_;
  static std::string archive_;
  static std::string stored_archive_;
};
std::string HandleFunctionsTest::prefix_;
std::wstring HandleFunctionsTest::root_;
std::string HandleFunctionsTest::content_;
std::string HandleFunctionsTest::archive_;
std::string HandleFunctionsTest::stored_archive_;

TEST_F(HandleFunctionsTest, InformationAnswersAsForTheDiskCopy) {
  for (const wchar_t* name : {L"content.bin", L"empty.bin"}) {
    SCOPED_TRACE(name);
    Pair pair;
    Open(name, 0, &pair);
    BY_HANDLE_FILE_INFORMATION own, disk;
    SetLastError(1234);
    ASSERT_TRUE(HookedGetFileInformationByHandle(pair.own, &own));
    EXPECT_EQ(GetLastError(), 1234u);
    ASSERT_TRUE(HookedGetFileInformationByHandle(pair.disk, &disk));
    EXPECT_EQ(own.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(own.nFileSizeLow, disk.nFileSizeLow);
    EXPECT_EQ(own.nFileSizeHigh, disk.nFileSizeHigh);
    EXPECT_EQ(own.nNumberOfLinks, 1u);
    EXPECT_EQ(own.dwVolumeSerialNumber, disk.dwVolumeSerialNumber) << "the game directory's";

    // The archive's time, as the path's attributes give it, in all three.
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ASSERT_TRUE(HookedGetFileAttributesExW(Path(std::wstring(L"data\\") + name).c_str(),
                                           GetFileExInfoStandard, &attributes));
    FILETIME times[3];
    ASSERT_TRUE(HookedGetFileTime(pair.own, &times[0], &times[1], &times[2]));
    EXPECT_TRUE(HookedGetFileTime(pair.own, nullptr, nullptr, nullptr));
    for (const FILETIME& time : {own.ftCreationTime, own.ftLastAccessTime, own.ftLastWriteTime,
                                 times[0], times[1], times[2]}) {
      EXPECT_EQ(CompareFileTime(&time, &attributes.ftLastWriteTime), 0);
    }

    FILE_STANDARD_INFO standard, disk_standard;
    ASSERT_TRUE(
        HookedGetFileInformationByHandleEx(pair.own, FileStandardInfo, &standard, sizeof standard));
    ASSERT_TRUE(HookedGetFileInformationByHandleEx(pair.disk, FileStandardInfo, &disk_standard,
                                                   sizeof disk_standard));
    EXPECT_EQ(standard.EndOfFile.QuadPart, disk_standard.EndOfFile.QuadPart);
    EXPECT_EQ(standard.AllocationSize.QuadPart, disk_standard.AllocationSize.QuadPart);
    EXPECT_EQ(standard.NumberOfLinks, 1u);
    EXPECT_FALSE(standard.DeletePending);
    EXPECT_FALSE(standard.Directory);
    FILE_BASIC_INFO basic;
    ASSERT_TRUE(HookedGetFileInformationByHandleEx(pair.own, FileBasicInfo, &basic, sizeof basic));
    EXPECT_EQ(basic.FileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(basic.LastWriteTime.LowPart, attributes.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(basic.ChangeTime.QuadPart, basic.LastWriteTime.QuadPart);
    FILE_ATTRIBUTE_TAG_INFO tag;
    ASSERT_TRUE(
        HookedGetFileInformationByHandleEx(pair.own, FileAttributeTagInfo, &tag, sizeof tag));
    EXPECT_EQ(tag.FileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(tag.ReparseTag, 0u);
  }
}

TEST_F(HandleFunctionsTest, FileIndexTellsFilesApartAndIsOneForAPath) {
  Pair first, second, other;
  Open(L"content.bin", 0, &first);
  Open(L"content.bin", 0, &second);
  Open(L"stored.bin", 0, &other);
  BY_HANDLE_FILE_INFORMATION a, b, c;
  ASSERT_TRUE(HookedGetFileInformationByHandle(first.own, &a));
  ASSERT_TRUE(HookedGetFileInformationByHandle(second.own, &b));
  ASSERT_TRUE(HookedGetFileInformationByHandle(other.own, &c));
  EXPECT_EQ(a.nFileIndexLow, b.nFileIndexLow);
  EXPECT_EQ(a.nFileIndexHigh, b.nFileIndexHigh);
  EXPECT_TRUE(a.nFileIndexLow != c.nFileIndexLow || a.nFileIndexHigh != c.nFileIndexHigh);
  // The identifier class carries the same index and volume.
  struct {
    ULONGLONG volume;
    BYTE id[16];
  } id;
  ASSERT_TRUE(HookedGetFileInformationByHandleEx(
      first.own, static_cast<FILE_INFO_BY_HANDLE_CLASS>(18), &id, sizeof id));
  EXPECT_EQ(id.volume, a.dwVolumeSerialNumber);
  DWORD low = 0, high = 0;
  std::memcpy(&low, id.id, 4);
  std::memcpy(&high, id.id + 4, 4);
  EXPECT_EQ(low, a.nFileIndexLow);
  EXPECT_EQ(high, a.nFileIndexHigh);
}

TEST_F(HandleFunctionsTest, EveryInformationClassAndBufferSizeAnswersAsForTheDiskCopy) {
  Pair pair;
  Open(L"content.bin", 0, &pair);
  std::vector<unsigned char> own(1024), disk(1024);
  auto compare = [&](int information_class, DWORD size) {
    const auto as_class = static_cast<FILE_INFO_BY_HANDLE_CLASS>(information_class);
    EXPECT_EQ(AnswerOf([&] {
                return HookedGetFileInformationByHandleEx(pair.own, as_class, own.data(), size);
              }),
              AnswerOf([&] {
                return HookedGetFileInformationByHandleEx(pair.disk, as_class, disk.data(), size);
              }))
        << "class " << information_class << ", size " << size;
  };
  // The described classes, with buffers too small and large enough.
  for (int information_class : {0, 1, 2, 9}) {
    for (DWORD size : {0u, 4u, 6u, 8u, 23u, 24u, 39u, 40u, 1024u}) compare(information_class, size);
  }
  // Every other class gets the system's answer for the disk copy (the
  // identifier class aside: described, with the disk's own identifiers).
  for (int information_class = 3; information_class < 40; ++information_class) {
    if (information_class != 9 && information_class != 18) compare(information_class, 1024);
  }
}

TEST_F(HandleFunctionsTest, FinalPathIsTheOverlaidPathInEveryForm) {
  Pair pair;
  Open(L"content.bin", 0, &pair);
  // The disk copy lies in a sibling directory: its answers, with "disk"
  // made "data", are the overlay's.
  auto expected = [](std::wstring disk_path) {
    const size_t at = disk_path.rfind(L"\\disk\\");
    return disk_path.replace(at, 6, L"\\data\\");
  };
  for (DWORD flags : {0u, 1u, 2u, 4u, 8u, 12u}) {
    SCOPED_TRACE(flags);
    WCHAR disk[600], own[600];
    const DWORD disk_length = HookedGetFinalPathNameByHandleW(pair.disk, disk, 600, flags);
    ASSERT_GT(disk_length, 0u);
    SetLastError(1234);
    const DWORD own_length = HookedGetFinalPathNameByHandleW(pair.own, own, 600, flags);
    EXPECT_EQ(GetLastError(), 1234u);
    ASSERT_EQ(own_length, disk_length);
    EXPECT_EQ(std::wstring(own), expected(disk));
    // Too small by the terminator: the size needed, and the same last error.
    EXPECT_EQ(
        AnswerOf([&] { return HookedGetFinalPathNameByHandleW(pair.own, own, own_length, flags); }),
        AnswerOf(
            [&] { return HookedGetFinalPathNameByHandleW(pair.disk, disk, disk_length, flags); }));
    EXPECT_EQ(HookedGetFinalPathNameByHandleW(pair.own, nullptr, 0, flags), own_length + 1);

    char narrow[600];
    const DWORD narrow_length = HookedGetFinalPathNameByHandleA(pair.own, narrow, 600, flags);
    ASSERT_EQ(narrow_length, own_length);  // the path is ASCII
    EXPECT_EQ(Wide(narrow), std::wstring(own));
    EXPECT_EQ(HookedGetFinalPathNameByHandleA(pair.own, narrow, narrow_length, flags),
              narrow_length + 1);
  }
  for (DWORD flags : {3u, 16u, 0x100u}) {
    WCHAR path[600];
    EXPECT_EQ(
        AnswerOf([&] { return HookedGetFinalPathNameByHandleW(pair.own, path, 600, flags); }),
        AnswerOf([&] { return HookedGetFinalPathNameByHandleW(pair.disk, path, 600, flags); }))
        << flags;
  }

  // The name class holds the same path below the volume, cut to fit.
  WCHAR none[600];
  const DWORD none_length = HookedGetFinalPathNameByHandleW(pair.own, none, 600, VOLUME_NAME_NONE);
  std::vector<unsigned char> buffer(1200);
  auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  ASSERT_TRUE(HookedGetFileInformationByHandleEx(pair.own, FileNameInfo, name, 1200));
  EXPECT_EQ(std::wstring(name->FileName, name->FileNameLength / 2),
            std::wstring(none, none_length));
  std::memset(buffer.data(), 0, buffer.size());
  EXPECT_FALSE(HookedGetFileInformationByHandleEx(pair.own, FileNameInfo, name, 12));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(name->FileNameLength, none_length * 2);
  EXPECT_EQ(std::wstring(name->FileName, 4), std::wstring(none, 4));
}

// One overlapped read of each handle of a pair, compared.
struct OverlappedOutcome {
  Answer answer;
  DWORD count;
  ULONG_PTR internal;
  ULONG_PTR internal_high;
  bool event_set;
  Answer result;  // GetOverlappedResult, waiting
  DWORD result_count;
  std::string bytes;
  bool operator==(const OverlappedOutcome&) const = default;
};
std::ostream& operator<<(std::ostream& out, const OverlappedOutcome& o) {
  return out << o.answer << " count " << o.count << " Internal " << std::hex << o.internal
             << std::dec << " InternalHigh " << o.internal_high << " event " << o.event_set
             << " result " << o.result << " " << o.result_count << " bytes " << o.bytes.size();
}

OverlappedOutcome ReadOverlapped(HANDLE h, DWORD offset, DWORD count, HANDLE event) {
  OverlappedOutcome outcome{};
  OVERLAPPED overlapped = {};
  overlapped.Offset = offset;
  overlapped.hEvent = event;
  if (event != nullptr) ResetEvent(event);
  char buffer[64] = {};
  DWORD got = 77;
  outcome.answer = AnswerOf([&] { return HookedReadFile(h, buffer, count, &got, &overlapped); });
  outcome.count = got;
  outcome.internal = overlapped.Internal;
  outcome.internal_high = overlapped.InternalHigh;
  outcome.event_set = event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  DWORD result_count = 77;
  outcome.result =
      AnswerOf([&] { return GetOverlappedResult(h, &overlapped, &result_count, TRUE); });
  outcome.result_count = result_count;
  outcome.bytes.assign(buffer, overlapped.InternalHigh <= 64 ? overlapped.InternalHigh : 0);
  return outcome;
}

TEST_F(HandleFunctionsTest, OverlappedReadsCompleteAsOnTheDiskCopy) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (DWORD flags : {0ul, static_cast<DWORD>(FILE_FLAG_OVERLAPPED)}) {
    Pair pair;
    Open(L"content.bin", flags, &pair);
    const DWORD size = static_cast<DWORD>(content_.size());
    for (DWORD offset : std::initializer_list<DWORD>{0u, 2500u, size - 10, size, size + 100}) {
      for (DWORD count : {40u, 0u}) {
        for (HANDLE with_event : {event, static_cast<HANDLE>(nullptr)}) {
          SCOPED_TRACE(testing::Message() << "flags " << flags << ", offset " << offset
                                          << ", count " << count << ", event " << with_event);
          // Another position first: a synchronous handle moves, an
          // asynchronous one stays.
          HookedSetFilePointer(pair.own, 7, nullptr, FILE_BEGIN);
          HookedSetFilePointer(pair.disk, 7, nullptr, FILE_BEGIN);
          const OverlappedOutcome disk = ReadOverlapped(pair.disk, offset, count, with_event);
          const OverlappedOutcome own = ReadOverlapped(pair.own, offset, count, with_event);
          EXPECT_EQ(own, disk);
          if (offset <= size || flags == FILE_FLAG_OVERLAPPED) {
            EXPECT_EQ(Position(pair.own), Position(pair.disk));
          } else {  // an overlay handle never stands beyond the end
            EXPECT_EQ(Position(pair.own), size);
          }
        }
      }
    }
  }
  CloseHandle(event);
}

TEST_F(HandleFunctionsTest, AnOverlappedReadLeavesAnAsynchronousHandlesSequentialReads) {
  Pair pair;
  Open(L"content.bin", FILE_FLAG_OVERLAPPED, &pair);
  char buffer[100];
  DWORD got = 0;
  ASSERT_TRUE(HookedReadFile(pair.own, buffer, 100, &got, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.Offset = 3000;
  EXPECT_FALSE(HookedReadFile(pair.own, buffer, 100, nullptr, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  ASSERT_TRUE(GetOverlappedResult(pair.own, &overlapped, &got, FALSE));
  EXPECT_EQ(std::string(buffer, got), content_.substr(3000, 100));
  ASSERT_TRUE(HookedReadFile(pair.own, buffer, 100, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), content_.substr(100, 100));
}

// What a ReadFileEx call and its completion routine gave.
struct CompletionRecord {
  int calls = 0;
  DWORD error = 0;
  DWORD count = 0;
  OVERLAPPED* overlapped = nullptr;
};
CompletionRecord g_completion;
void CALLBACK RecordCompletion(DWORD error, DWORD count, OVERLAPPED* overlapped) {
  ++g_completion.calls;
  g_completion.error = error;
  g_completion.count = count;
  g_completion.overlapped = overlapped;
}

TEST_F(HandleFunctionsTest, ReadFileExRunsItsRoutineInTheNextAlertableWait) {
  for (DWORD flags : {0ul, static_cast<DWORD>(FILE_FLAG_OVERLAPPED)}) {
    Pair pair;
    Open(L"content.bin", flags, &pair);
    const DWORD size = static_cast<DWORD>(content_.size());
    for (DWORD offset : std::initializer_list<DWORD>{100u, size - 5, size}) {
      SCOPED_TRACE(testing::Message() << "flags " << flags << ", offset " << offset);
      CompletionRecord seen[2];
      Answer answers[2];
      std::string bytes[2];
      HANDLE handles[2] = {pair.disk, pair.own};
      for (int i = 0; i < 2; ++i) {
        OVERLAPPED overlapped = {};
        overlapped.Offset = offset;
        char buffer[20] = {};
        g_completion = {};
        answers[i] = AnswerOf([&] {
          return HookedReadFileEx(handles[i], buffer, 20, &overlapped, &RecordCompletion);
        });
        EXPECT_EQ(g_completion.calls, 0) << "not before an alertable wait";
        const DWORD wait = SleepEx(0, TRUE);
        EXPECT_EQ(wait == WAIT_IO_COMPLETION, g_completion.calls == 1);
        seen[i] = g_completion;
        if (seen[i].calls == 1) {
          EXPECT_EQ(seen[i].overlapped, &overlapped);
        }
        bytes[i].assign(buffer, seen[i].count);
      }
      EXPECT_EQ(answers[1], answers[0]);
      EXPECT_EQ(seen[1].calls, seen[0].calls);
      EXPECT_EQ(seen[1].error, seen[0].error);
      EXPECT_EQ(seen[1].count, seen[0].count);
      EXPECT_EQ(bytes[1], bytes[0]);
    }
    EXPECT_EQ(AnswerOf([&] { return HookedReadFileEx(pair.own, nullptr, 1, nullptr, nullptr); }),
              AnswerOf([&] { return HookedReadFileEx(pair.disk, nullptr, 1, nullptr, nullptr); }));
  }
}

TEST_F(HandleFunctionsTest, AnEntryThatCannotBeReadFailsItsOverlappedReadsAtOnce) {
  HANDLE own = HookedCreateFileW(Path(L"data\\damaged.bin").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(TheOverlay().IsOwnHandle(own));
  PositionedFile::SetReadFaultHook([](uint32_t) -> int64_t { return -1; });
  Pair pair;  // closes it
  pair.own = own;
  OVERLAPPED overlapped = {};
  overlapped.Offset = 1200;
  char buffer[10];
  DWORD got = 77;
  EXPECT_FALSE(HookedReadFile(pair.own, buffer, 10, &got, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(got, 0u);
  // The structure does not claim a read in progress: nobody waits for it.
  EXPECT_FALSE(GetOverlappedResult(pair.own, &overlapped, &got, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  OVERLAPPED again = {};
  again.Offset = 1300;
  g_completion = {};
  EXPECT_FALSE(HookedReadFileEx(pair.own, buffer, 10, &again, &RecordCompletion));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  SleepEx(0, TRUE);
  EXPECT_EQ(g_completion.calls, 0);
  PositionedFile::SetReadFaultHook(nullptr);
}

TEST_F(HandleFunctionsTest, ADuplicateSharesThePositionAndIsClosedOnItsOwn) {
  Pair pair;
  Open(L"content.bin", 0, &pair);
  HANDLE duplicate = nullptr;
  SetLastError(1234);
  ASSERT_TRUE(HookedDuplicateHandle(GetCurrentProcess(), pair.own, GetCurrentProcess(), &duplicate,
                                    0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), 1234u);
  ASSERT_NE(duplicate, pair.own);
  ASSERT_TRUE(TheOverlay().IsOwnHandle(duplicate));
  char buffer[10];
  DWORD got = 0;
  ASSERT_TRUE(HookedReadFile(pair.own, buffer, 10, &got, nullptr));
  EXPECT_EQ(Position(duplicate), 10u) << "one open file, one position";
  // The source closed first: the duplicate reads on.
  EXPECT_TRUE(HookedCloseHandle(pair.own));
  pair.own = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(HookedReadFile(duplicate, buffer, 10, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), content_.substr(10, 10));
  LARGE_INTEGER size;
  ASSERT_TRUE(HookedGetFileSizeEx(duplicate, &size));
  EXPECT_EQ(size.QuadPart, static_cast<LONGLONG>(content_.size()));

  // DUPLICATE_CLOSE_SOURCE, through a real handle of this process.
  HANDLE self = OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                            GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  HANDLE moved = nullptr;
  ASSERT_TRUE(HookedDuplicateHandle(self, duplicate, self, &moved, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
  EXPECT_FALSE(TheOverlay().IsOwnHandle(duplicate));
  EXPECT_EQ(Position(moved), 20u);
  // No target: only the source is closed.
  EXPECT_TRUE(HookedDuplicateHandle(GetCurrentProcess(), moved, GetCurrentProcess(), nullptr, 0,
                                    FALSE, DUPLICATE_CLOSE_SOURCE));
  EXPECT_FALSE(TheOverlay().IsOwnHandle(moved));
  CloseHandle(self);
}

TEST_F(HandleFunctionsTest, MappingsHoldTheBytesAndRefuseWritingAsForTheDiskCopy) {
  Pair pair;
  Open(L"content.bin", 0, &pair);
  for (DWORD protect : std::initializer_list<DWORD>{
           PAGE_READONLY, PAGE_WRITECOPY, PAGE_EXECUTE_READ, PAGE_READWRITE, PAGE_EXECUTE_READWRITE,
           0ul, PAGE_NOACCESS, PAGE_READONLY | SEC_COMMIT, PAGE_READONLY | SEC_NOCACHE}) {
    for (DWORD size : {0u, 100u, 6000u}) {
      SCOPED_TRACE(testing::Message()
                   << "protection " << std::hex << protect << std::dec << ", size " << size);
      HANDLE mappings[2] = {};
      Answer answers[2];
      HANDLE handles[2] = {pair.disk, pair.own};
      for (int i = 0; i < 2; ++i) {
        answers[i] = AnswerOf([&] {
          mappings[i] = HookedCreateFileMappingW(handles[i], nullptr, protect, 0, size, nullptr);
          return mappings[i] != nullptr;
        });
      }
      EXPECT_EQ(answers[1], answers[0]);
      if (mappings[1] == nullptr) continue;
      const size_t length = size != 0 ? size : content_.size();
      const auto* view =
          static_cast<const char*>(MapViewOfFile(mappings[1], FILE_MAP_READ, 0, 0, 0));
      ASSERT_NE(view, nullptr);
      EXPECT_EQ(std::string(view, length), content_.substr(0, length));
      UnmapViewOfFile(view);
      for (DWORD access : std::initializer_list<DWORD>{FILE_MAP_WRITE, FILE_MAP_ALL_ACCESS,
                                                       FILE_MAP_EXECUTE | FILE_MAP_READ}) {
        Answer views[2];
        for (int i = 0; i < 2; ++i) {
          views[i] = AnswerOf([&] {
            void* v = MapViewOfFile(mappings[i], access, 0, 0, 0);
            if (v != nullptr) UnmapViewOfFile(v);
            return v != nullptr;
          });
        }
        EXPECT_EQ(views[1], views[0]) << "view access " << access;
      }
      // A copy-on-write view writes to itself only.
      auto* copy = static_cast<char*>(MapViewOfFile(mappings[1], FILE_MAP_COPY, 0, 0, 0));
      ASSERT_NE(copy, nullptr);
      copy[0] = 'X';
      const auto* other =
          static_cast<const char*>(MapViewOfFile(mappings[1], FILE_MAP_READ, 0, 0, 0));
      EXPECT_EQ(other[0], content_[0]);
      UnmapViewOfFile(other);
      UnmapViewOfFile(copy);
      CloseHandle(mappings[0]);
      CloseHandle(mappings[1]);
    }
  }
}

TEST_F(HandleFunctionsTest, MappingsOfAnEmptyFileAndNamedMappings) {
  Pair empty;
  Open(L"empty.bin", 0, &empty);
  EXPECT_EQ(AnswerOf([&] {
              return HookedCreateFileMappingW(empty.own, nullptr, PAGE_READONLY, 0, 0, nullptr);
            }),
            AnswerOf([&] {
              return HookedCreateFileMappingW(empty.disk, nullptr, PAGE_READONLY, 0, 0, nullptr);
            }));

  Pair pair;
  Open(L"stored.bin", 0, &pair);
  const std::string name = "xp3patch-handle-test-" + std::to_string(GetCurrentProcessId());
  SetLastError(1234);
  HANDLE first = HookedCreateFileMappingA(pair.own, nullptr, PAGE_READONLY, 0, 0, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u) << "as the system, which clears it";
  HANDLE second =
      HookedCreateFileMappingW(pair.own, nullptr, PAGE_READONLY, 0, 0, Wide(name).c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  const auto* view = static_cast<const char*>(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 12));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 12), "stored bytes");
  UnmapViewOfFile(view);
  CloseHandle(second);
  CloseHandle(first);
}

// A buffer the process cannot write fails that one read, with the disk's
// answer (ERROR_NOACCESS), whatever the entry's compression; the handle,
// and every other entry of the archive, read correctly afterwards.
TEST_F(HandleFunctionsTest, ABufferThatCannotBeWrittenFailsOnlyThatRead) {
  char* locked = static_cast<char*>(VirtualAlloc(nullptr, 65536, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(locked, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(locked, 65536, PAGE_READONLY, &old));
  for (const wchar_t* name : {L"content.bin", L"stored.bin"}) {
    Pair pair;
    Open(name, 0, &pair);
    for (char* buffer : {locked, static_cast<char*>(nullptr)}) {
      Answer answers[2];
      HANDLE handles[2] = {pair.disk, pair.own};
      for (int i = 0; i < 2; ++i) {
        answers[i] = AnswerOf([&] {
          DWORD got = 7;
          return HookedReadFile(handles[i], buffer, 4096, &got, nullptr) != FALSE;
        });
      }
      EXPECT_EQ(answers[1], answers[0]) << (buffer == nullptr ? "null buffer" : "read-only page");
    }
    std::string bytes(5000, '\0');
    DWORD got = 0;
    ASSERT_TRUE(HookedReadFile(pair.own, bytes.data(), 5000, &got, nullptr));
    bytes.resize(got);
    EXPECT_EQ(bytes,
              std::wstring(name) == L"stored.bin" ? "stored bytes" : content_.substr(0, got));
    HookedCloseHandle(pair.own);
    HookedCloseHandle(pair.disk);
  }
  // Another compressed entry of the same archive, opened afresh.
  Pair again;
  Open(L"content.bin", 0, &again);
  std::string whole(content_.size(), '\0');
  DWORD got = 0;
  ASSERT_TRUE(
      HookedReadFile(again.own, whole.data(), static_cast<DWORD>(whole.size()), &got, nullptr));
  EXPECT_EQ(got, content_.size());
  EXPECT_TRUE(whole == content_);
  HookedCloseHandle(again.own);
  HookedCloseHandle(again.disk);
  VirtualFree(locked, 0, MEM_RELEASE);
}

// Whatever handle to the section one holds (opened by its name, or a
// duplicate asking for write access), no view of it writes, and a view
// larger than the mapping fails: as for a mapping of a read-only disk file.
TEST_F(HandleFunctionsTest, NoHandleToAMappingWritesAndNoViewPassesItsEnd) {
  Pair pair;
  Open(L"content.bin", 0, &pair);
  HANDLE handles[2] = {pair.disk, pair.own};
  // Per handle: a write view through a handle opened by name, through a
  // duplicate asking for write access, and a read view past the end.
  Answer answers[2][3];
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i == 0 ? "disk" : "overlay");
    const std::wstring name = L"xp3patch-write-test-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(i);
    HANDLE mapping =
        HookedCreateFileMappingW(handles[i], nullptr, PAGE_READONLY, 0, 100, name.c_str());
    ASSERT_NE(mapping, nullptr);
    auto view_answer = [](HANDLE section, DWORD access, SIZE_T size) {
      return AnswerOf([&] {
        void* view = section != nullptr ? MapViewOfFile(section, access, 0, 0, size) : nullptr;
        if (view != nullptr) UnmapViewOfFile(view);
        return view != nullptr;
      });
    };
    HANDLE by_name = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
    answers[i][0] = view_answer(by_name, FILE_MAP_WRITE, 0);
    HANDLE writable = nullptr;
    DuplicateHandle(GetCurrentProcess(), mapping, GetCurrentProcess(), &writable,
                    SECTION_MAP_READ | SECTION_MAP_WRITE | SECTION_QUERY, FALSE, 0);
    answers[i][1] = view_answer(writable, FILE_MAP_WRITE, 0);
    answers[i][2] = view_answer(mapping, FILE_MAP_READ, 200);
    const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 100));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 100), content_.substr(0, 100)) << "nothing was written";
    UnmapViewOfFile(view);
    if (writable != nullptr) CloseHandle(writable);
    if (by_name != nullptr) CloseHandle(by_name);
    CloseHandle(mapping);
  }
  // The file behind the overlay's section went with the section.
  WCHAR temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  WIN32_FIND_DATAW found;
  HANDLE left = FindFirstFileW(
      (std::wstring(temp) + L"xp3patch-view-" + std::to_wstring(GetCurrentProcessId()) + L"-*")
          .c_str(),
      &found);
  EXPECT_EQ(left, INVALID_HANDLE_VALUE) << "a temporary file was left behind";
  if (left != INVALID_HANDLE_VALUE) FindClose(left);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(answers[1][k], answers[0][k]) << "answer " << k;
    EXPECT_EQ(answers[0][k].result, 0) << "answer " << k << " of the disk copy";
  }
}

TEST_F(HandleFunctionsTest, WritingCallsAreRefusedAndReachNothing) {
  Pair pair;
  Open(L"stored.bin", 0, &pair);
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExW(Wide(stored_archive_).c_str(), GetFileExInfoStandard, &before));
  FILETIME time = {1, 1};
  FILE_END_OF_FILE_INFO end = {};
  OVERLAPPED overlapped = {};
  DWORD written = 77;
  std::vector<Answer> answers = {
      AnswerOf([&] { return HookedWriteFile(pair.own, "x", 1, &written, nullptr); }),
      AnswerOf([&] { return HookedWriteFile(pair.own, "x", 1, nullptr, &overlapped); }),
      AnswerOf([&] { return HookedWriteFileEx(pair.own, "x", 1, &overlapped, &RecordCompletion); }),
      AnswerOf([&] { return HookedSetEndOfFile(pair.own); }),
      AnswerOf([&] { return HookedFlushFileBuffers(pair.own); }),
      AnswerOf([&] { return HookedSetFileTime(pair.own, &time, &time, &time); }),
      AnswerOf([&] {
        return HookedSetFileInformationByHandle(pair.own, FileEndOfFileInfo, &end, sizeof end);
      }),
  };
  for (const Answer& answer : answers) EXPECT_EQ(answer, (Answer{FALSE, ERROR_ACCESS_DENIED}));
  EXPECT_EQ(written, 0u);
  char buffer[20];
  DWORD got = 0;
  HookedSetFilePointer(pair.own, 0, nullptr, FILE_BEGIN);
  ASSERT_TRUE(HookedReadFile(pair.own, buffer, 20, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "stored bytes");
  WIN32_FILE_ATTRIBUTE_DATA after;
  ASSERT_TRUE(GetFileAttributesExW(Wide(stored_archive_).c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the archive is untouched";
  EXPECT_EQ(GetFileAttributesW(Path(L"data\\stored.bin").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(HandleFunctionsTest, RealHandlesPassThroughWithTheSystemsAnswers) {
  // A writable file outside the overlay, a read-only one, and values that are
  // no handle at all.
  const std::wstring scratch = Path(L"disk\\scratch.bin");
  HANDLE writable = CreateFileW(scratch.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(writable, INVALID_HANDLE_VALUE);
  Pair pair;
  Open(L"stored.bin", 0, &pair);
  for (HANDLE h : {writable, pair.disk, reinterpret_cast<HANDLE>(0x7ff0), INVALID_HANDLE_VALUE}) {
    SCOPED_TRACE(h);
    BY_HANDLE_FILE_INFORMATION a, b;
    EXPECT_EQ(AnswerOf([&] { return HookedGetFileInformationByHandle(h, &a); }),
              AnswerOf([&] { return GetFileInformationByHandle(h, &b); }));
    FILE_STANDARD_INFO s1, s2;
    EXPECT_EQ(AnswerOf([&] {
                return HookedGetFileInformationByHandleEx(h, FileStandardInfo, &s1, sizeof s1);
              }),
              AnswerOf([&] {
                return GetFileInformationByHandleEx(h, FileStandardInfo, &s2, sizeof s2);
              }));
    FILETIME t1, t2;
    EXPECT_EQ(AnswerOf([&] { return HookedGetFileTime(h, &t1, nullptr, nullptr); }),
              AnswerOf([&] { return GetFileTime(h, &t2, nullptr, nullptr); }));
    WCHAR p1[600], p2[600];
    EXPECT_EQ(AnswerOf([&] { return HookedGetFinalPathNameByHandleW(h, p1, 600, 0); }),
              AnswerOf([&] { return GetFinalPathNameByHandleW(h, p2, 600, 0); }));
    char n1[600], n2[600];
    EXPECT_EQ(AnswerOf([&] { return HookedGetFinalPathNameByHandleA(h, n1, 600, 0); }),
              AnswerOf([&] { return GetFinalPathNameByHandleA(h, n2, 600, 0); }));
    EXPECT_EQ(AnswerOf([&] { return HookedFlushFileBuffers(h); }),
              AnswerOf([&] { return FlushFileBuffers(h); }));
    EXPECT_EQ(AnswerOf([&] { return HookedSetFileTime(h, nullptr, nullptr, nullptr); }),
              AnswerOf([&] { return SetFileTime(h, nullptr, nullptr, nullptr); }));
    HANDLE m1 = nullptr, m2 = nullptr;
    EXPECT_EQ(AnswerOf([&] {
                return (m1 = HookedCreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 1, nullptr)) !=
                       nullptr;
              }),
              AnswerOf([&] {
                return (m2 = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 1, nullptr)) !=
                       nullptr;
              }));
    if (m1 != nullptr) CloseHandle(m1);
    if (m2 != nullptr) CloseHandle(m2);
    HANDLE d1 = nullptr, d2 = nullptr;
    EXPECT_EQ(AnswerOf([&] {
                return HookedDuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &d1, 0,
                                             FALSE, DUPLICATE_SAME_ACCESS);
              }),
              AnswerOf([&] {
                return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &d2, 0, FALSE,
                                       DUPLICATE_SAME_ACCESS);
              }));
    if (d1 != nullptr && d1 != INVALID_HANDLE_VALUE) CloseHandle(d1);
    if (d2 != nullptr && d2 != INVALID_HANDLE_VALUE) CloseHandle(d2);
  }
  // Writes reach a real file.
  DWORD written = 0;
  ASSERT_TRUE(HookedWriteFile(writable, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  ASSERT_TRUE(HookedSetEndOfFile(writable));
  EXPECT_EQ(GetFileSize(writable, nullptr), 3u);
  CloseHandle(writable);
}

}  // namespace
