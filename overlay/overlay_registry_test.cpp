// The overlay registry over real archives written with the project's writer,
// in a temporary game directory.
#include "overlay/overlay_registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "overlay/directory_overlay.h"
#include "platform/diagnostic_log.h"
#include "platform/positioned_file.h"
#include "tools/xp3/xp3_writer.h"

namespace {

constexpr DWORD kHandleNoLongerValid = 6815;

class OverlayRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"overlay-registry-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir_.c_str(), nullptr);
    base_ = Narrow(dir_);
    registry_ = std::make_unique<OverlayRegistry>(base_);
  }
  void TearDown() override {
    registry_.reset();
    for (const std::string& name : written_) DeleteFileA(name.c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  static std::string Narrow(const std::wstring& w) {
    std::string s(w.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                                 static_cast<int>(s.size()), nullptr, nullptr));
    return s;
  }

  // Writes an archive of (name, content) pairs into the game directory.
  std::string WriteArchive(const std::string& file,
                           const std::vector<std::pair<std::string, std::string>>& entries,
                           Xp3Compression compression = Xp3Compression::kZstd,
                           uint64_t segment_size = 0) {
    Xp3WriterOptions options;
    options.compression = compression;
    options.segment_size = segment_size;
    Xp3Writer writer(options);
    std::string path = base_ + "\\" + file;
    std::string error;
    EXPECT_TRUE(writer.Open(path, &error)) << error;
    for (const auto& [name, content] : entries) {
      EXPECT_TRUE(writer.AddEntry(name, content.data(), content.size(), &error)) << error;
    }
    EXPECT_TRUE(writer.Finish(&error)) << error;
    written_.push_back(path);
    return path;
  }

  std::wstring Game(const std::wstring& relative) { return dir_ + L"\\" + relative; }

  std::string ReadAll(HANDLE h) {
    std::string data;
    char buffer[7];
    DWORD got = 0;
    // As from a disk file: the end is a successful read of 0 bytes.
    while (registry_->ReadOwn(h, buffer, sizeof buffer, &got) && got != 0) data.append(buffer, got);
    EXPECT_EQ(got, 0u);
    return data;
  }

  std::wstring dir_;
  std::string base_;
  std::vector<std::string> written_;
  std::unique_ptr<OverlayRegistry> registry_;
};

TEST_F(OverlayRegistryTest, LaterMountsWinAndKeysIgnoreAsciiCaseAndSeparators) {
  ASSERT_TRUE(registry_->Mount(
      WriteArchive("one.xp3", {{"data/a.txt", "first"}, {"data/only.txt", "only"}})));
  ASSERT_TRUE(registry_->Mount(WriteArchive("two.xp3", {{"DATA/A.TXT", "second"}})));
  EXPECT_TRUE(registry_->Exists(Game(L"DATA/a.TXT").c_str()));
  EXPECT_TRUE(registry_->Exists(L"data\\only.txt"));
  EXPECT_FALSE(registry_->Exists(L"data"));  // a directory inside an archive
  EXPECT_FALSE(registry_->Exists(L"..\\data\\a.txt"));
  EXPECT_FALSE(registry_->Exists(L"C:\\elsewhere\\data\\a.txt"));
  HANDLE h = registry_->OpenOwn(Game(L"data\\a.txt").c_str());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadAll(h), "second");
  registry_->CloseOwn(h);
  EXPECT_FALSE(registry_->Mount(base_ + "\\missing.xp3"));
}

TEST_F(OverlayRegistryTest, AnEqualKeyKeepsItsFirstSpellingAndTakesTheLastEntry) {
  // Within one archive the later entry wins, across archives the later mount.
  ASSERT_TRUE(registry_->Mount(WriteArchive(
      "one.xp3", {{"data/a.txt", "first"}, {"other.txt", "o"}, {"Data/A.txt", "same archive"}})));
  ASSERT_EQ(registry_->Index().size(), 2u);
  const OverlayRegistry::IndexedEntry* entry = registry_->FindEntry("DATA\\a.TXT");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->key, "data\\a.txt");
  EXPECT_EQ(entry->size(), 12u);
  ASSERT_TRUE(registry_->Mount(WriteArchive("two.xp3", {{"DATA/a.TXT", "the last mount"}})));
  ASSERT_EQ(registry_->Index().size(), 2u);
  entry = registry_->FindEntry("data\\a.txt");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->key, "data\\a.txt");
  EXPECT_EQ(entry->size(), 14u);
  EXPECT_EQ(registry_->FindEntry("data/a.txt"), nullptr) << "keys use backslashes";

  HANDLE h = registry_->OpenOwn(Game(L"data\\a.txt").c_str());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadAll(h), "the last mount");
  EXPECT_EQ(registry_->SizeOwn(h, static_cast<DWORD*>(nullptr)), 14u);
  registry_->CloseOwn(h);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(registry_->AttributesExOwn(L"data/A.txt", GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 14u);
  // The listing shows the first spelling with the size of the last entry.
  const std::vector<WIN32_FIND_DATAW> records =
      ArchiveRecords(*registry_, base_ + "\\DATA", L"*", {});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_STREQ(records[0].cFileName, L"a.txt");
  EXPECT_EQ(records[0].nFileSizeLow, 14u);
}

TEST_F(OverlayRegistryTest, ListedNamesCutToFitNeverEndInHalfASurrogatePair) {
  const std::string face = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
  // The pair would straddle the cut in the first name and end just before
  // it in the second.
  ASSERT_TRUE(registry_->Mount(
      WriteArchive("long.xp3", {{"long/" + std::string(258, 'a') + face + "b", "1"},
                                {"long/" + std::string(257, 'b') + face + "c", "2"}})));
  const std::vector<WIN32_FIND_DATAW> records =
      ArchiveRecords(*registry_, base_ + "\\long", L"*", {});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(std::wstring(records[0].cFileName), std::wstring(258, L'a'));
  EXPECT_EQ(std::wstring(records[1].cFileName), std::wstring(257, L'b') + L"\xD83D\xDE00");
}

TEST_F(OverlayRegistryTest, ManyKeysOverSeveralMountsAllResolve) {
  // Overlapping archives: name i is in archives i / 300 and i / 300 - 1;
  // the content's length tells which archive answered.
  for (int a = 0; a < 4; ++a) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = a * 300; i < a * 300 + 600; ++i) {
      entries.push_back({"d" + std::to_string(i % 7) + "/n" + std::to_string(i),
                         std::string(static_cast<size_t>(a + 1), '#')});
    }
    ASSERT_TRUE(registry_->Mount(
        WriteArchive("m" + std::to_string(a) + ".xp3", entries, Xp3Compression::kNone)));
  }
  EXPECT_EQ(registry_->Index().size(), 1500u);
  for (int i = 0; i < 1500; ++i) {
    const std::string key = "D" + std::to_string(i % 7) + "\\N" + std::to_string(i);
    const OverlayRegistry::IndexedEntry* entry = registry_->FindEntry(key);
    ASSERT_NE(entry, nullptr) << key;
    EXPECT_EQ(entry->size(), static_cast<uint64_t>(std::min(i / 300, 3) + 1)) << key;
  }
  EXPECT_EQ(registry_->FindEntry("d0\\n1500"), nullptr);
  EXPECT_EQ(registry_->FindEntry("d0"), nullptr);
}

TEST_F(OverlayRegistryTest, ReadsSeeksAndSizesWithTheOverlayErrorCodes) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(
      registry_->Mount(WriteArchive("s.xp3", {{"big.bin", content}}, Xp3Compression::kZlib, 64)));
  HANDLE h = registry_->OpenOwn(L"big.bin");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(registry_->IsOwnHandle(h));

  // A read that spans many segments is filled completely, as from a disk file.
  std::string buffer(300, '\0');
  DWORD got = 0;
  ASSERT_TRUE(registry_->ReadOwn(h, buffer.data(), 300, &got));
  EXPECT_EQ(got, 300u);
  EXPECT_EQ(buffer, content.substr(0, 300));

  SetLastError(1234);
  EXPECT_EQ(registry_->SetPointerOwn(h, 990, nullptr, FILE_BEGIN), 990u);
  EXPECT_EQ(GetLastError(), 1234u);  // success leaves the last error alone
  ASSERT_TRUE(registry_->ReadOwn(h, buffer.data(), 300, &got));
  EXPECT_EQ(got, 10u);
  // At the end, as often as asked: success with 0 bytes, the last error left.
  for (int again = 0; again < 2; ++again) {
    got = 77;
    SetLastError(1234);
    EXPECT_TRUE(registry_->ReadOwn(h, buffer.data(), 300, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
  }

  LONG high = 0;
  EXPECT_EQ(registry_->SetPointerOwn(h, 1001, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
  EXPECT_EQ(registry_->SetPointerOwn(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  LARGE_INTEGER distance{}, position{};
  distance.QuadPart = -10;
  ASSERT_TRUE(registry_->SetPointerExOwn(h, distance, &position, FILE_END));
  EXPECT_EQ(position.QuadPart, 990);
  EXPECT_FALSE(registry_->SetPointerExOwn(h, distance, &position, 7));

  // A count of 0 succeeds with 0 bytes anywhere and leaves the position.
  for (LONG at : {0, 500, 1000}) {
    ASSERT_EQ(registry_->SetPointerOwn(h, at, nullptr, FILE_BEGIN), static_cast<DWORD>(at));
    got = 77;
    EXPECT_TRUE(registry_->ReadOwn(h, buffer.data(), 0, &got)) << at;
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(registry_->SetPointerOwn(h, 0, nullptr, FILE_CURRENT), static_cast<DWORD>(at));
  }

  DWORD size_high = 77;
  EXPECT_EQ(registry_->SizeOwn(h, &size_high), 1000u);
  EXPECT_EQ(size_high, 0u);
  LARGE_INTEGER size{};
  EXPECT_TRUE(registry_->SizeOwn(h, &size));
  EXPECT_EQ(size.QuadPart, 1000);

  registry_->CloseOwn(h);
  EXPECT_FALSE(registry_->IsOwnHandle(h));
  SetLastError(0);
  registry_->CloseOwn(h);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(registry_->ReadOwn(h, buffer.data(), 1, &got));
  EXPECT_EQ(registry_->SizeOwn(h, &size_high), INVALID_FILE_SIZE);
}

// A read the system fails (the archive's drive or share failing for a
// moment) fails with the system's error, is logged as such, and the next
// read, once the system reads again, succeeds.
TEST_F(OverlayRegistryTest, AFailedSystemReadFailsThatReadWithTheSystemsError) {
  ASSERT_TRUE(registry_->Mount(
      WriteArchive("bad.xp3", {{"bad.bin", std::string(300, 'b')}}, Xp3Compression::kZstd, 100)));
  HANDLE h = registry_->OpenOwn(L"bad.bin");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // The failure is in the log, with the entry, the offset and the error.
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string log =
      std::string(temp) + "registry-failure-" + std::to_string(GetCurrentProcessId()) + ".log";
  DeleteFileA(log.c_str());
  ASSERT_TRUE(DiagnosticLogOpen(log.c_str()));
  PositionedFile::SetReadFaultHook([](uint32_t) -> int64_t { return -1; });
  char buffer[64];
  DWORD got = 77;
  EXPECT_FALSE(registry_->ReadOwn(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(got, 0u);
  // Asking for nothing reads nothing, so it succeeds even here.
  EXPECT_TRUE(registry_->ReadOwn(h, buffer, 0, &got));
  PositionedFile::SetReadFaultHook(nullptr);
  EXPECT_TRUE(registry_->ReadOwn(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), std::string(64, 'b'));
  EXPECT_EQ(registry_->SetPointerOwn(h, 5000, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  DiagnosticLogClose();
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileA(log.c_str());
  EXPECT_NE(text.find("ReadFile bad.bin: at offset 0 the system failed to read the archive file "
                      "(error 30); the entry is not damaged"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("seek from the start of bad.bin: at offset 5000 failed with error 12"),
            std::string::npos)
      << text;
  registry_->CloseOwn(h);
}

TEST_F(OverlayRegistryTest, MemoryFileInAllSpellings) {
  registry_->StoreMemoryFile("acp", {'9', '3', '6'});
  for (std::wstring path : {std::wstring(L"acp"), std::wstring(L"ACP"), Game(L"Acp")}) {
    ASSERT_TRUE(registry_->Exists(path.c_str()));
    HANDLE h = registry_->OpenOwn(path.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[16];
    DWORD got = 0;
    ASSERT_TRUE(registry_->ReadOwn(h, buffer, 16, &got));
    EXPECT_EQ(std::string(buffer, got), "936");
    got = 77;
    EXPECT_TRUE(registry_->ReadOwn(h, buffer, 16, &got));
    EXPECT_EQ(got, 0u);
    got = 77;
    ASSERT_EQ(registry_->SetPointerOwn(h, 1, nullptr, FILE_BEGIN), 1u);
    EXPECT_TRUE(registry_->ReadOwn(h, buffer, 0, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(registry_->SetPointerOwn(h, 4, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registry_->SizeOwn(h, static_cast<DWORD*>(nullptr)), 3u);
    registry_->CloseOwn(h);
  }
}

TEST_F(OverlayRegistryTest, AttributesOfEntriesAndMisses) {
  ASSERT_TRUE(registry_->Mount(WriteArchive("a.xp3", {{"x/y.txt", "12345"}})));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(registry_->AttributesExOwn(L"x/y.txt", GetFileExInfoStandard, &data));
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.ftCreationTime.dwLowDateTime, data.ftLastWriteTime.dwLowDateTime);
  EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);  // the archive's time
  EXPECT_FALSE(registry_->AttributesExOwn(L"x/y.txt", GetFileExInfoStandard, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Another information level is refused with a last error of its own, not
  // with whatever an earlier call left.
  SetLastError(1234);
  EXPECT_FALSE(registry_->AttributesExOwn(L"x/y.txt", GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(registry_->AttributesExOwn(L"x/none", GetFileExInfoStandard, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const wchar_t bad[] = {L'x', 0xD800, 0};
  EXPECT_FALSE(registry_->AttributesExOwn(bad, GetFileExInfoStandard, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(registry_->OpenOwn(bad), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(registry_->OpenOwn(L"x/none"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(OverlayRegistryTest, DirectoriesThatOnlyArchivesHoldAreFoundFromAnyGameDirectory) {
  const std::string archive =
      WriteArchive("d.xp3", {{"voice/ch1/a.ogg", "a"}, {"Top.txt", "t"}, {"..dots/x.txt", "x"}});
  ASSERT_TRUE(registry_->Mount(archive));
  // A game started from a share: the directory index cannot answer there,
  // and the walk over the entries must agree with it.
  OverlayRegistry shared("\\\\server\\share\\game");
  ASSERT_TRUE(shared.Mount(archive));
  // Each path: is it an archive directory, and is it an overlaid file?
  const std::vector<std::tuple<std::wstring, bool, bool>> cases = {
      {L"voice", true, false},      {L"VOICE\\Ch1", true, false},
      {L"voice/ch1/", true, false}, {L"voice\\ch1\\a.ogg", false, true},
      {L"top.txt", false, true},    {L"..dots", true, false},
      {L"voice\\ch", false, false}, {L"top.txt\\x", false, false},
      {L"..\\voice", false, false}, {L".", false, false},
      {L"", false, false},          {L"\\voice", false, false}};
  for (const auto& [path, directory, file] : cases) {
    EXPECT_EQ(registry_->IsArchiveDirectory(path.c_str()), directory) << path.c_str();
    EXPECT_EQ(shared.IsArchiveDirectory(path.c_str()), directory) << path.c_str();
    EXPECT_EQ(registry_->Exists(path.c_str()), file) << path.c_str();
  }
  EXPECT_TRUE(registry_->IsArchiveDirectory(Game(L"voice\\ch1").c_str()));
}

TEST_F(OverlayRegistryTest, ConcurrentOpensReadsAndClosesKeepTheTablesIntact) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 8; ++i) {
    entries.push_back(
        {"f" + std::to_string(i), std::string(5000 + i * 37, static_cast<char>('A' + i))});
  }
  ASSERT_TRUE(registry_->Mount(WriteArchive("c.xp3", entries, Xp3Compression::kZstd, 512)));
  std::vector<std::thread> threads;
  std::vector<int> errors(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::wstring name = L"f" + std::to_wstring(t);
      for (int round = 0; round < 20; ++round) {
        HANDLE h = registry_->OpenOwn(name.c_str());
        if (h == INVALID_HANDLE_VALUE) {
          ++errors[t];
          continue;
        }
        std::string data(entries[t].second.size(), '\0');
        DWORD got = 0;
        if (!registry_->ReadOwn(h, data.data(), static_cast<DWORD>(data.size()), &got) ||
            data != entries[t].second) {
          ++errors[t];
        }
        registry_->CloseOwn(h);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(errors[t], 0) << "thread " << t;
}

}  // namespace
