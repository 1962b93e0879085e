// Copies and sizes of overlaid files, compared with the system's answers
// for a read-only disk file holding the same bytes. The system's copy is
// played in both shapes it may have: CopyFileW built on CopyFileExW (as
// Wine builds it, so the redirected CopyFileExW is entered from inside the
// redirected CopyFileW), or going straight to the file system.
#include "overlay/hooked_copies.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "overlay/find_session.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "tools/xp3/xp3_writer.h"

namespace {

enum class Shape { kChained, kDirect };
Shape g_shape = Shape::kDirect;
int g_system_calls = 0;

BOOL WINAPI SystemCopyFileExW(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data,
                              LPBOOL cancel, DWORD flags) {
  ++g_system_calls;
  return ::CopyFileExW(from, to, progress, data, cancel, flags);
}
BOOL WINAPI StandInCopyFileW(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists) {
  const DWORD flags = fail_if_exists ? COPY_FILE_FAIL_IF_EXISTS : 0;
  if (g_shape == Shape::kChained) {
    return HookedCopyFileExW(from, to, nullptr, nullptr, nullptr, flags);
  }
  return SystemCopyFileExW(from, to, nullptr, nullptr, nullptr, flags);
}
DWORD WINAPI SystemGetCompressedFileSizeW(LPCWSTR name, LPDWORD high) {
  ++g_system_calls;
  return ::GetCompressedFileSizeW(name, high);
}

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

std::string Narrow(const std::wstring& wide) {
  std::string out(wide.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(h);
}

// Bytes as a failed check prints them: short ones as they are, long ones
// by size and hash.
std::string Described(const std::string& bytes) {
  if (bytes.size() <= 32) return bytes;
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  return std::to_string(bytes.size()) + " bytes #" + std::to_string(h);
}

// What a disk file holds (described), or "missing".
std::string Contents(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return "missing";
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got != 0) bytes.append(buffer, got);
  ::CloseHandle(h);
  return Described(bytes);
}

void Remove(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
}

const std::string kBig = Bytes(150000);  // three chunks of a copy
const std::string kBigDescribed = Described(kBig);

class CopiesTest : public ::testing::TestWithParam<Shape> {
 protected:
  static void SetUpTestSuite() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"copies-" + std::to_wstring(GetCurrentProcessId());
    game_ = root_ + L"\\game";
    for (const wchar_t* dir : {L"", L"\\game", L"\\game\\data", L"\\disk", L"\\out"}) {
      CreateDirectoryW((root_ + dir).c_str(), nullptr);
    }
    WriteFileBytes(root_ + L"\\disk\\big.bin", kBig);
    SetFileAttributesW((root_ + L"\\disk\\big.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(game_ + L"\\data\\real.txt", "real");
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    archive_ = Narrow(root_ + L"\\patch.xp3");
    ASSERT_TRUE(writer.Open(archive_, &error)) << error;
    ASSERT_TRUE(writer.AddEntry("data/big.bin", kBig.data(), kBig.size(), &error)) << error;
    ASSERT_TRUE(writer.AddEntry("data/real.txt", "translated", 10, &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
  }

  void SetUp() override {
    g_shape = GetParam();
    registry_ = std::make_unique<OverlayRegistry>(Narrow(game_));
    ASSERT_TRUE(registry_->Mount(archive_));
    saved_ = g_overlay_host;
    real_ = ImportedFileFunctions();
    real_.CopyFileExW = &SystemCopyFileExW;
    real_.CopyFileW = &StandInCopyFileW;
    real_.GetCompressedFileSizeW = &SystemGetCompressedFileSizeW;
    SetOverlayHost({registry_.get(), &sessions_, &real_});
    g_system_calls = 0;
  }
  void TearDown() override {
    SetOverlayHost(saved_);
    for (const wchar_t* name : {L"disk.bin", L"own.bin", L"real.txt"}) Remove(Out(name));
    EXPECT_EQ(registry_->OpenHandleCount(), 0u);
  }

  static std::wstring Out(const wchar_t* name) { return root_ + L"\\out\\" + name; }
  static std::wstring Overlaid() { return game_ + L"\\data\\big.bin"; }
  static std::wstring Disk() { return root_ + L"\\disk\\big.bin"; }

  static inline std::wstring root_, game_;
  static inline std::string archive_;
  std::unique_ptr<OverlayRegistry> registry_;
  FindSessionSet sessions_;
  OverlayHost saved_;
  RealFileFunctions real_;
};

// Every way a destination can stand, copied onto from the overlaid file and
// from its read-only disk copy: the same result and last error each time.
TEST_P(CopiesTest, AnswersAsTheSystemCopiesAReadOnlyDiskFile) {
  struct Case {
    const char* what;
    DWORD flags;
    const char* existing;  // the destination's bytes before, or null
    DWORD attributes;
    // Where the documented answer is asserted instead of the disk's:
    // "CopyFileExW function" (Microsoft Learn) fails a copy onto a read-only
    // or hidden file with ERROR_ACCESS_DENIED, and a read-only source cannot
    // be opened for writing; Wine does neither for a process running as
    // root (the file system lets it write) or on a drive that keeps no
    // hidden attribute.
    DWORD documented_error = 0;
  };
  const Case cases[] = {
      {"new destination", 0, nullptr, 0},
      {"overwrite", 0, "old", FILE_ATTRIBUTE_NORMAL},
      {"fail if exists", COPY_FILE_FAIL_IF_EXISTS, "old", FILE_ATTRIBUTE_NORMAL},
      {"read-only destination", 0, "old", FILE_ATTRIBUTE_READONLY, ERROR_ACCESS_DENIED},
      {"hidden destination", 0, "old", FILE_ATTRIBUTE_HIDDEN, ERROR_ACCESS_DENIED},
      {"source opened for writing", COPY_FILE_OPEN_SOURCE_FOR_WRITE, nullptr, 0,
       ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const wchar_t* name : {L"disk.bin", L"own.bin"}) {
      Remove(Out(name));
      if (c.existing != nullptr) {
        WriteFileBytes(Out(name), c.existing);
        SetFileAttributesW(Out(name).c_str(), c.attributes);
      }
    }
    if (c.documented_error != 0) {
      EXPECT_FALSE(HookedCopyFileExW(Overlaid().c_str(), Out(L"own.bin").c_str(), nullptr, nullptr,
                                     nullptr, c.flags));
      EXPECT_EQ(GetLastError(), c.documented_error);
      EXPECT_EQ(Contents(Out(L"own.bin")), c.existing != nullptr ? c.existing : "missing");
      continue;
    }
    SetLastError(1234);
    const BOOL disk =
        ::CopyFileExW(Disk().c_str(), Out(L"disk.bin").c_str(), nullptr, nullptr, nullptr, c.flags);
    const DWORD disk_error = GetLastError();
    SetLastError(1234);
    const BOOL own = HookedCopyFileExW(Overlaid().c_str(), Out(L"own.bin").c_str(), nullptr,
                                       nullptr, nullptr, c.flags);
    EXPECT_EQ(own, disk);
    if (!disk) {
      EXPECT_EQ(GetLastError(), disk_error);
    }
    EXPECT_EQ(Contents(Out(L"own.bin")), Contents(Out(L"disk.bin")));
  }
  // A missing folder, and an overlaid destination (a read-only file to the game).
  EXPECT_FALSE(HookedCopyFileExW(Overlaid().c_str(), (root_ + L"\\none\\x.bin").c_str(), nullptr,
                                 nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(HookedCopyFileExW(Overlaid().c_str(), (game_ + L"\\data\\real.txt").c_str(), nullptr,
                                 nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Contents(game_ + L"\\data\\real.txt"), "real") << "the disk file behind it is kept";
  EXPECT_EQ(g_system_calls, 0) << "an overlaid source never reaches the system";
}

TEST_P(CopiesTest, EveryFormCopiesTheTranslatedBytesOnce) {
  EXPECT_TRUE(HookedCopyFileW(Overlaid().c_str(), Out(L"own.bin").c_str(), TRUE));
  EXPECT_EQ(Contents(Out(L"own.bin")), kBigDescribed);
  EXPECT_EQ(GetFileAttributesW(Out(L"own.bin").c_str()) & FILE_ATTRIBUTE_READONLY, 0u)
      << "the game's copy is the game's to change";
  EXPECT_FALSE(HookedCopyFileW(Overlaid().c_str(), Out(L"own.bin").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  const std::string a_from = Narrow(game_ + L"\\data\\real.txt");
  const std::string a_to = Narrow(Out(L"real.txt"));
  EXPECT_TRUE(HookedCopyFileA(a_from.c_str(), a_to.c_str(), FALSE));
  EXPECT_EQ(Contents(Out(L"real.txt")), "translated");
  EXPECT_TRUE(HookedCopyFileExA(a_from.c_str(), a_to.c_str(), nullptr, nullptr, nullptr, 0));
  Remove(Out(L"own.bin"));
  COPYFILE2_EXTENDED_PARAMETERS parameters = {sizeof parameters, COPY_FILE_FAIL_IF_EXISTS, nullptr,
                                              nullptr, nullptr};
  EXPECT_EQ(HookedCopyFile2(Overlaid().c_str(), Out(L"own.bin").c_str(), &parameters), S_OK);
  EXPECT_EQ(Contents(Out(L"own.bin")), kBigDescribed);
  EXPECT_EQ(HookedCopyFile2(Overlaid().c_str(), Out(L"own.bin").c_str(), &parameters),
            HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
  EXPECT_EQ(g_system_calls, 0);
  // A disk file is the system's, once.
  EXPECT_TRUE(HookedCopyFileW(Disk().c_str(), Out(L"disk.bin").c_str(), FALSE));
  EXPECT_EQ(g_system_calls, 1);
}

// What the progress routine sees, and what it may do: it is game code, so
// its own file calls get the overlay's answers.
struct Progress {
  std::vector<DWORD> reasons;
  std::vector<LONGLONG> done;
  LONGLONG total = 0;
  bool source_was_own = true;
  DWORD attributes_inside = 0;
  DWORD answer_at_chunk = 0;  // 0 continues
  std::wstring overlaid;
  OverlayRegistry* registry = nullptr;
};

DWORD CALLBACK Routine(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                       DWORD reason, HANDLE source, HANDLE, LPVOID data) {
  auto* p = static_cast<Progress*>(data);
  p->reasons.push_back(reason);
  p->done.push_back(done.QuadPart);
  p->total = total.QuadPart;
  p->source_was_own = p->source_was_own && p->registry->IsOwnHandle(source);
  p->attributes_inside = HookedGetFileAttributesW(p->overlaid.c_str());
  if (reason == CALLBACK_CHUNK_FINISHED && p->reasons.size() == 3) return p->answer_at_chunk;
  return PROGRESS_CONTINUE;
}

TEST_P(CopiesTest, TheProgressRoutineRunsAsGameCodeAndMayCancel) {
  Progress progress;
  progress.overlaid = game_ + L"\\data\\real.txt";
  progress.registry = registry_.get();
  ASSERT_TRUE(HookedCopyFileExW(Overlaid().c_str(), Out(L"own.bin").c_str(), &Routine, &progress,
                                nullptr, 0));
  EXPECT_EQ(progress.reasons,
            (std::vector<DWORD>{CALLBACK_STREAM_SWITCH, CALLBACK_CHUNK_FINISHED,
                                CALLBACK_CHUNK_FINISHED, CALLBACK_CHUNK_FINISHED}));
  EXPECT_EQ(progress.done, (std::vector<LONGLONG>{0, 65536, 131072, 150000}));
  EXPECT_EQ(progress.total, 150000);
  EXPECT_TRUE(progress.source_was_own);
  EXPECT_EQ(progress.attributes_inside, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
      << "the overlay answers the routine's own calls";

  for (DWORD answer : {static_cast<DWORD>(PROGRESS_CANCEL), static_cast<DWORD>(PROGRESS_STOP)}) {
    Remove(Out(L"own.bin"));
    Progress cancelling;
    cancelling.overlaid = progress.overlaid;
    cancelling.registry = registry_.get();
    cancelling.answer_at_chunk = answer;
    EXPECT_FALSE(HookedCopyFileExW(Overlaid().c_str(), Out(L"own.bin").c_str(), &Routine,
                                   &cancelling, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(cancelling.reasons.size(), 3u) << "nothing copied after the answer";
    EXPECT_EQ(Contents(Out(L"own.bin")) == "missing", answer == PROGRESS_CANCEL)
        << "a cancelled copy is deleted, a stopped one kept";
  }
  Remove(Out(L"own.bin"));
  BOOL cancel = TRUE;
  EXPECT_FALSE(
      HookedCopyFileExW(Overlaid().c_str(), Out(L"own.bin").c_str(), nullptr, nullptr, &cancel, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_EQ(Contents(Out(L"own.bin")), "missing");
}

COPYFILE2_MESSAGE_ACTION CALLBACK Routine2(const COPYFILE2_MESSAGE* message, PVOID context) {
  auto* types = static_cast<std::vector<int>*>(context);
  types->push_back(message->Type);
  return types->size() == 2 ? COPYFILE2_PROGRESS_CANCEL : COPYFILE2_PROGRESS_CONTINUE;
}

TEST_P(CopiesTest, CopyFile2TellsItsRoutineInMessages) {
  std::vector<int> types;
  COPYFILE2_EXTENDED_PARAMETERS parameters = {sizeof parameters, 0, nullptr, &Routine2, &types};
  EXPECT_EQ(HookedCopyFile2(Overlaid().c_str(), Out(L"own.bin").c_str(), &parameters),
            HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED));
  EXPECT_EQ(types, (std::vector<int>{COPYFILE2_CALLBACK_STREAM_STARTED,
                                     COPYFILE2_CALLBACK_CHUNK_FINISHED}));
  EXPECT_EQ(Contents(Out(L"own.bin")), "missing");
}

TEST_P(CopiesTest, CompressedSizeIsTheEntrysSize) {
  DWORD high = 99;
  SetLastError(1234);
  EXPECT_EQ(HookedGetCompressedFileSizeW(Overlaid().c_str(), &high), 150000u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(HookedGetCompressedFileSizeA(Narrow(game_ + L"\\data\\real.txt").c_str(), nullptr),
            10u);
  EXPECT_EQ(g_system_calls, 0);
  EXPECT_EQ(HookedGetCompressedFileSizeW(Disk().c_str(), nullptr), 150000u);
  EXPECT_EQ(HookedGetCompressedFileSizeW((game_ + L"\\data\\none").c_str(), nullptr),
            INVALID_FILE_SIZE);
  EXPECT_EQ(g_system_calls, 2);
}

INSTANTIATE_TEST_SUITE_P(BothShapes, CopiesTest, ::testing::Values(Shape::kChained, Shape::kDirect),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return info.param == Shape::kChained ? "Chained" : "Direct";
                         });

}  // namespace
