// The loose folder on its own, and the replacements answering from it over
// an archive and the disk (called directly, through a host of the test's own
// whose slots point at the imported functions). Links that lead out of the
// folder cannot be made from a Windows program here; the whole-process test
// (tests/dev_folder/) makes them.
#include "overlay/loose_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_search_path.h"
#include "overlay/overlay_host.h"
#include "overlay/find_session.h"
#include "overlay/overlay_registry.h"
#include "tools/xp3/xp3_writer.h"

namespace {

using Kind = LooseFolder::Kind;

void WriteFileText(const std::wstring& path, const std::string& content) {
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(f);
}

std::string ReadAll(HANDLE f) {
  std::string bytes;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got != 0) bytes.append(buffer, got);
  return bytes;
}

std::string ReadFileText(const std::wstring& path) {
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "(cannot open)";
  std::string bytes = ReadAll(f);
  CloseHandle(f);
  return bytes;
}

TEST(LooseFolderKeys, OnlyPlainRelativeNamesAreLookedFor) {
  for (const char* key : {"a.txt", "scenario\\a.txt", "..dots\\x.txt", "a..b", ".hidden",
                          "\xE5\x90\x8D\\\xE5\x89\x8D.txt"}) {
    EXPECT_TRUE(LooseFolder::IsServableKey(key)) << key;
  }
  for (const char* key :
       {"",           ".",           "..",      "..\\x.txt", "a\\..\\b.txt", "a\\.\\b.txt",
        "a\\\\b.txt", "\\a.txt",     "a\\",     "C:\\a.txt", "D:x.txt",      "a.txt:stream",
        "*.txt",      "a?.txt",      "a<b",     "a|b",       "a\"b",         "a.txt.",
        "a.txt ",     "dir.\\a.txt", "a/b.txt", "a\tb"}) {
    EXPECT_FALSE(LooseFolder::IsServableKey(key)) << key;
  }
}

// A game directory with disk files, an archive over it, and a loose folder
// outside the game directory laid over both, as start-up lays them, in a
// registry of the test's own that the replacements reach through the host.
class LooseFolderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    game_ = std::wstring(temp) + L"loose-game-" + pid;
    dev_ = std::wstring(temp) + L"loose-dev-" + pid;
    archive_ = std::wstring(temp) + L"loose-archive-" + pid + L".xp3";
    for (const std::wstring& d :
         {game_, dev_, Dev(L"scenario"), Dev(L"voice"), Game(L"scenario")}) {
      CreateDirectoryW(d.c_str(), nullptr);
    }
    WriteFileText(Game(L"scenario\\disk.txt"), "disk");
    WriteFileText(Game(L"scenario\\both.txt"), "disk both");
    WriteFileText(Dev(L"scenario\\both.txt"), "loose both");
    WriteFileText(Dev(L"scenario\\Chapter1.txt"), "loose chapter");
    WriteFileText(Dev(L"voice\\line.ogg"), "ogg");

    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(Utf8(archive_), &error)) << error;
    for (const char* name :
         {"scenario/chapter1.txt", "scenario/both.txt", "scenario/archive.txt"}) {
      const std::string content = std::string("archive ") + name;
      ASSERT_TRUE(writer.AddEntry(name, content.data(), content.size(), &error));
    }
    ASSERT_TRUE(writer.Finish(&error)) << error;

    registry_ = new OverlayRegistry(Utf8(game_));
    sessions_ = new FindSessionSet();
    saved_host_ = g_overlay_host;
    real_ = ImportedFileFunctions();
    SetOverlayHost({registry_, sessions_, &real_});
    ASSERT_TRUE(registry_->Mount(Utf8(archive_)));
    std::string problem;
    std::unique_ptr<LooseFolder> folder = LooseFolder::Open(dev_, &real_, &problem);
    ASSERT_NE(folder, nullptr) << problem;
    registry_->MountLooseFolder(std::move(folder));
  }
  static void TearDownTestSuite() {
    SetOverlayHost(saved_host_);
    delete sessions_;
    delete registry_;
    DeleteFileW(archive_.c_str());
    for (const wchar_t* file :
         {L"scenario\\both.txt", L"scenario\\Chapter1.txt", L"voice\\line.ogg"}) {
      DeleteFileW(Dev(file).c_str());
    }
    for (const wchar_t* file : {L"scenario\\disk.txt", L"scenario\\both.txt"}) {
      DeleteFileW(Game(file).c_str());
    }
    for (const std::wstring& d :
         {Dev(L"scenario"), Dev(L"voice"), dev_, Game(L"scenario"), game_}) {
      RemoveDirectoryW(d.c_str());
    }
  }

  static std::string Utf8(const std::wstring& w) {
    std::string s(w.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                                 static_cast<int>(s.size()), nullptr, nullptr));
    return s;
  }
  static const LooseFolder& Folder() { return *registry_->Loose(); }
  // A path of the game as the game names it; its key is the relative part.
  static std::wstring Game(const std::wstring& relative) { return game_ + L"\\" + relative; }
  static std::string Key(const std::string& relative) { return relative; }
  // The same path in the loose folder.
  static std::wstring Dev(const std::wstring& relative) { return dev_ + L"\\" + relative; }

  static std::vector<std::wstring> List(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW record;
    HANDLE h = HookedFindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record,
                                      FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      std::wstring name = record.cFileName;
      if (name == L"." || name == L"..") continue;
      if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += L"/";
      names.push_back(name + L"=" + std::to_wstring(record.nFileSizeLow));
    } while (HookedFindNextFileW(h, &record));
    HookedFindClose(h);
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::wstring game_;
  static std::wstring dev_;
  static std::wstring archive_;
  static OverlayRegistry* registry_;
  static FindSessionSet* sessions_;
  static OverlayHost saved_host_;
  static RealFileFunctions real_;
};

std::wstring LooseFolderTest::game_;
std::wstring LooseFolderTest::dev_;
std::wstring LooseFolderTest::archive_;
OverlayRegistry* LooseFolderTest::registry_ = nullptr;
FindSessionSet* LooseFolderTest::sessions_ = nullptr;
OverlayHost LooseFolderTest::saved_host_;
RealFileFunctions LooseFolderTest::real_;

TEST_F(LooseFolderTest, OpeningRefusesWhatIsNotAFolder) {
  std::string problem;
  EXPECT_EQ(LooseFolder::Open(dev_ + L"\\missing", &real_, &problem), nullptr);
  EXPECT_EQ(problem, "it does not exist");
  EXPECT_EQ(LooseFolder::Open(Dev(L"voice\\line.ogg"), &real_, &problem), nullptr);
  EXPECT_EQ(problem, "it is not a directory");
  // A trailing separator names the same folder.
  EXPECT_NE(LooseFolder::Open(dev_ + L"\\", &real_, &problem), nullptr);
}

// The game directory is never laid over itself, however the folder is
// spelled: another letter case, a trailing separator, the short name, a
// link to it; a folder beside it or below it holds no game directory.
TEST_F(LooseFolderTest, HoldsTheGameDirectoryByItsResolvedNameOnly) {
  std::string problem;
  const std::unique_ptr<LooseFolder> game = LooseFolder::Open(game_, &real_, &problem);
  ASSERT_NE(game, nullptr) << problem;
  std::wstring upper = game_;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  WCHAR short_name[MAX_PATH] = {};
  const DWORD short_length = GetShortPathNameW(game_.c_str(), short_name, MAX_PATH);
  const std::wstring link = game_ + L"-link";
  // A link the system can follow (the whole-process test links on the host
  // side as well).
  const bool linked =
      CreateSymbolicLinkW(link.c_str(), game_.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      GetFileAttributesW((link + L"\\scenario").c_str()) != INVALID_FILE_ATTRIBUTES;
  std::vector<std::wstring> spellings = {game_, upper, game_ + L"\\"};
  if (short_length != 0 && short_length < MAX_PATH) spellings.push_back(short_name);
  if (linked) spellings.push_back(link);
  for (const std::wstring& spelling : spellings) {
    SCOPED_TRACE(Utf8(spelling));
    const std::unique_ptr<LooseFolder> folder = LooseFolder::Open(spelling, &real_, &problem);
    ASSERT_NE(folder, nullptr) << problem;
    EXPECT_TRUE(folder->HoldsDirectory(Utf8(game_)));
    EXPECT_TRUE(folder->HoldsDirectory(Utf8(Game(L"scenario"))));
  }
  if (linked) RemoveDirectoryW(link.c_str());
  const std::unique_ptr<LooseFolder> dev = LooseFolder::Open(dev_, &real_, &problem);
  ASSERT_NE(dev, nullptr) << problem;
  EXPECT_FALSE(dev->HoldsDirectory(Utf8(game_)));
  const std::unique_ptr<LooseFolder> inner = LooseFolder::Open(Game(L"scenario"), &real_, &problem);
  ASSERT_NE(inner, nullptr) << problem;
  EXPECT_FALSE(inner->HoldsDirectory(Utf8(game_)));
}

TEST_F(LooseFolderTest, ServesTheFileAsItIsOnDiskAtEachOpen) {
  const std::wstring file = Dev(L"scenario\\edited.txt");
  WriteFileText(file, "first");
  LooseFolder::Probe probe = Folder().OpenFile(Key("scenario\\edited.txt"), 0);
  ASSERT_EQ(probe.kind, Kind::kFile);
  // An editor saves over the file while the game holds it open.
  WriteFileText(file, "second, longer");
  EXPECT_EQ(ReadAll(probe.handle), "second, longer");
  CloseHandle(probe.handle);
  ASSERT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_EQ(Folder().OpenFile(Key("scenario\\edited.txt"), 0).kind, Kind::kAbsent);
  EXPECT_EQ(Folder().Look(Key("scenario\\edited.txt")).kind, Kind::kAbsent);
}

TEST_F(LooseFolderTest, MatchesKeysAsArchivesDo) {
  // ASCII letter case is folded; a directory is not a file to open.
  LooseFolder::Probe probe = Folder().OpenFile(Key("SCENARIO\\chapter1.TXT"), 0);
  ASSERT_EQ(probe.kind, Kind::kFile);
  CloseHandle(probe.handle);
  EXPECT_EQ(Folder().OpenFile(Key("voice"), 0).kind, Kind::kAbsent);
  EXPECT_EQ(Folder().Look(Key("voice")).kind, Kind::kDirectory);
  // The system would trim a trailing dot and open chapter1.txt; an archive
  // entry would not match it, so neither does the folder.
  EXPECT_EQ(Folder().OpenFile(Key("scenario\\chapter1.txt."), 0).kind, Kind::kAbsent);
  EXPECT_EQ(Folder().OpenFile("..\\" + Key("scenario\\chapter1.txt"), 0).kind, Kind::kAbsent);
}

TEST_F(LooseFolderTest, NeverPassesOnARequestToDeleteTheFile) {
  const std::wstring file = Dev(L"scenario\\kept.txt");
  WriteFileText(file, "kept");
  LooseFolder::Probe probe = Folder().OpenFile(Key("scenario\\kept.txt"),
                                               FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED);
  ASSERT_EQ(probe.kind, Kind::kFile);
  CloseHandle(probe.handle);
  EXPECT_EQ(ReadFileText(file), "kept");
  DeleteFileW(file.c_str());
}

TEST_F(LooseFolderTest, AFileThatWillNotOpenIsTheSystemsError) {
  const std::wstring file = Dev(L"scenario\\held.txt");
  WriteFileText(file, "held");
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  LooseFolder::Probe probe = Folder().OpenFile(Key("scenario\\held.txt"), 0);
  EXPECT_EQ(probe.kind, Kind::kFailed);
  EXPECT_EQ(probe.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  SetLastError(1234);
  HANDLE game = HookedCreateFileW(Game(L"scenario\\held.txt").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(game, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(held);
  DeleteFileW(file.c_str());
}

// The real functions, with faults the folder must tell apart: the folder's
// place failing as a whole (a share gone) or every name in it being a link.
enum class Fault { kNone, kUnreachable, kHeld, kEveryNameALink };
Fault g_fault = Fault::kNone;
int g_opens = 0;

BOOL WINAPI FaultyAttributes(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (g_fault == Fault::kUnreachable || g_fault == Fault::kHeld) {
    SetLastError(g_fault == Fault::kHeld ? ERROR_SHARING_VIOLATION : ERROR_BAD_NETPATH);
    return FALSE;
  }
  const BOOL found = GetFileAttributesExW(path, level, information);
  if (found && g_fault == Fault::kEveryNameALink) {
    static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information)->dwFileAttributes |=
        FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return found;
}

HANDLE WINAPI FaultyFind(LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS op,
                         LPVOID filter, DWORD flags) {
  const HANDLE search = FindFirstFileExW(path, level, data, op, filter, flags);
  if (search != INVALID_HANDLE_VALUE && g_fault == Fault::kEveryNameALink) {
    auto* record = static_cast<WIN32_FIND_DATAW*>(data);
    record->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    record->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
  }
  return search;
}

HANDLE WINAPI FaultyOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE model) {
  ++g_opens;
  if (g_fault == Fault::kUnreachable || g_fault == Fault::kHeld) {
    SetLastError(g_fault == Fault::kHeld ? ERROR_SHARING_VIOLATION : ERROR_BAD_NETPATH);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, access, share, security, disposition, flags, model);
}

TEST_F(LooseFolderTest, OnlyAFileThatIsHeldIsTheGamesErrorAndLinksAreNotFollowed) {
  RealFileFunctions faulty = ImportedFileFunctions();
  faulty.GetFileAttributesExW = FaultyAttributes;
  faulty.FindFirstFileExW = FaultyFind;
  faulty.CreateFileW = FaultyOpen;
  std::string problem;
  g_fault = Fault::kNone;
  const std::unique_ptr<LooseFolder> folder = LooseFolder::Open(dev_, &faulty, &problem);
  ASSERT_NE(folder, nullptr) << problem;

  // A folder whose place fails as a whole says nothing of the game's files:
  // the archives and the disk answer.
  g_fault = Fault::kUnreachable;
  EXPECT_EQ(folder->Look(Key("scenario\\both.txt")).kind, Kind::kAbsent);
  EXPECT_EQ(folder->OpenFile(Key("scenario\\both.txt"), 0).kind, Kind::kAbsent);
  // A file that another program holds is the game's error.
  g_fault = Fault::kHeld;
  LooseFolder::Probe held = folder->OpenFile(Key("scenario\\both.txt"), 0);
  EXPECT_EQ(held.kind, Kind::kFailed);
  EXPECT_EQ(held.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // A link is refused from its attributes, without being opened.
  g_fault = Fault::kEveryNameALink;
  g_opens = 0;
  const LooseFolder::Probe link = folder->OpenFile(Key("scenario\\both.txt"), 0);
  EXPECT_EQ(link.kind, Kind::kRefused);
  EXPECT_EQ(link.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(folder->Look(Key("voice")).kind, Kind::kRefused);
  EXPECT_EQ(g_opens, 0);
  g_fault = Fault::kNone;
}

TEST_F(LooseFolderTest, RecordsMatchThePatternWithoutShortNames) {
  const std::vector<WIN32_FIND_DATAW> records = Folder().Records(Key("scenario"), L"*.TXT");
  std::vector<std::wstring> names;
  for (const WIN32_FIND_DATAW& record : records) {
    names.push_back(record.cFileName);
    EXPECT_EQ(record.cAlternateFileName[0], L'\0');
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Chapter1.txt", L"both.txt"}));
  EXPECT_EQ(Folder().Records(Key("scenario"), L"*.ogg").size(), 0u);
  EXPECT_EQ(Folder().Records(Key("missing"), L"*").size(), 0u);
  EXPECT_EQ(Folder().Records(".", L"voice").size(), 1u);
}

TEST_F(LooseFolderTest, TheGameOpensTheLooseFileOverTheArchiveAndTheDisk) {
  SetLastError(1234);
  HANDLE f = HookedCreateFileW(Game(L"scenario\\both.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 1234u);  // as for an archive entry
  // A real handle: the handle functions are the system's own.
  EXPECT_FALSE(registry_->IsOwnHandle(f));
  EXPECT_EQ(ReadAll(f), "loose both");
  LARGE_INTEGER size;
  EXPECT_TRUE(HookedGetFileSizeEx(f, &size));
  EXPECT_EQ(size.QuadPart, 10);
  EXPECT_TRUE(HookedCloseHandle(f));
  // The archive's file where the folder has none, and the folder's by a
  // name in another letter case.
  f = HookedCreateFileW(Game(L"scenario\\archive.txt").c_str(), GENERIC_READ, 0, nullptr,
                        OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(registry_->IsOwnHandle(f));
  HookedCloseHandle(f);
  f = HookedCreateFileW(Game(L"scenario\\CHAPTER1.txt").c_str(), GENERIC_READ, 0, nullptr,
                        OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(ReadAll(f), "loose chapter");
  HookedCloseHandle(f);
}

TEST_F(LooseFolderTest, AWritingOpenReadsAndLeavesTheFileAlone) {
  HANDLE f = HookedCreateFileW(Game(L"scenario\\both.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 1;
  EXPECT_FALSE(WriteFile(f, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadAll(f), "loose both");
  HookedCloseHandle(f);
  EXPECT_EQ(ReadFileText(Dev(L"scenario\\both.txt")), "loose both");
  EXPECT_EQ(ReadFileText(Game(L"scenario\\both.txt")), "disk both");
}

TEST_F(LooseFolderTest, AttributesAndSearchesAnswerForLooseFilesAndDirectories) {
  SetLastError(1234);
  EXPECT_EQ(HookedGetFileAttributesW(Game(L"scenario\\both.txt").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(HookedGetFileAttributesExW(Game(L"scenario\\both.txt").c_str(), GetFileExInfoStandard,
                                         &data));
  EXPECT_EQ(data.nFileSizeLow, 10u);
  EXPECT_NE(data.ftLastWriteTime.dwLowDateTime | data.ftLastWriteTime.dwHighDateTime, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(HookedGetFileAttributesExW(Game(L"scenario\\both.txt").c_str(),
                                          GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A directory only the folder has.
  EXPECT_EQ(HookedGetFileAttributesW(Game(L"voice").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_TRUE(HookedGetFileAttributesExW(Game(L"voice").c_str(), GetFileExInfoStandard, &data));
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(HookedGetFileAttributesW(Game(L"nothing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  WCHAR found[MAX_PATH];
  EXPECT_EQ(
      HookedSearchPathW(nullptr, Game(L"voice\\line").c_str(), L".ogg", MAX_PATH, found, nullptr),
      Game(L"voice\\line.ogg").size());
}

TEST_F(LooseFolderTest, ListingsShowEachNameOnceWithTheFoldersFileWinning) {
  EXPECT_EQ(List(Game(L"scenario\\*")),
            (std::vector<std::wstring>{L"Chapter1.txt=13", L"archive.txt=28", L"both.txt=10",
                                       L"disk.txt=4"}));
  // A name that is a file on one side and a directory on the other is listed
  // once, as an open finds it: the folder's file first, else the other's.
  CreateDirectoryW(Game(L"scenario\\bgm").c_str(), nullptr);
  WriteFileText(Dev(L"scenario\\bgm"), "loose");
  WriteFileText(Game(L"scenario\\extra"), "disk");
  CreateDirectoryW(Dev(L"scenario\\extra").c_str(), nullptr);
  const std::vector<std::wstring> mixed = List(Game(L"scenario\\*"));
  DeleteFileW(Dev(L"scenario\\bgm").c_str());
  RemoveDirectoryW(Game(L"scenario\\bgm").c_str());
  RemoveDirectoryW(Dev(L"scenario\\extra").c_str());
  DeleteFileW(Game(L"scenario\\extra").c_str());
  EXPECT_EQ(mixed, (std::vector<std::wstring>{L"Chapter1.txt=13", L"archive.txt=28", L"bgm=5",
                                              L"both.txt=10", L"disk.txt=4", L"extra=4"}));
  EXPECT_EQ(List(Game(L"*")), (std::vector<std::wstring>{L"scenario/=0", L"voice/=0"}));
  EXPECT_EQ(List(Game(L"voice\\*.ogg")), (std::vector<std::wstring>{L"line.ogg=3"}));
  EXPECT_EQ(List(Game(L"voice\\*.txt")), std::vector<std::wstring>{});
  // An empty search: no match in a directory only the folder holds is "file
  // not found"; a folder that nothing holds is the system's "path not found".
  WIN32_FIND_DATAW record;
  SetLastError(0);
  EXPECT_EQ(HookedFindFirstFileExW(Game(L"voice\\*.txt").c_str(), FindExInfoStandard, &record,
                                   FindExSearchNameMatch, nullptr, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(HookedFindFirstFileExW(Game(L"nothing\\*").c_str(), FindExInfoStandard, &record,
                                   FindExSearchNameMatch, nullptr, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
