// The directory index must give exactly the records of the walk over every
// entry: checked over many generated trees whose keys mix case, separators,
// repeated separators, "." and ".." components and names shared between a
// file and a directory.
#include "overlay/directory_index.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "overlay/directory_overlay.h"
#include "tools/xp3/xp3_writer.h"

namespace {

const char* const kBase = "C:\\Games\\Title";

std::string RecordText(const std::vector<WIN32_FIND_DATAW>& records) {
  std::string text;
  for (const WIN32_FIND_DATAW& r : records) {
    char name[3 * MAX_PATH];
    WideCharToMultiByte(CP_UTF8, 0, r.cFileName, -1, name, sizeof name, nullptr, nullptr);
    text += std::string(name) + "|" + std::to_string(r.dwFileAttributes) + "|" +
            std::to_string(r.nFileSizeLow) + "\n";
  }
  return text;
}

std::string TempArchivePath(const char* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  char narrow[MAX_PATH];
  WideCharToMultiByte(CP_UTF8, 0, temp, -1, narrow, MAX_PATH, nullptr, nullptr);
  return std::string(narrow) + name;
}

// Entries named `names`, each holding its own name as content.
void WriteArchive(const std::string& path, const std::vector<std::string>& names) {
  Xp3Writer writer(Xp3WriterOptions{});
  std::string error;
  ASSERT_TRUE(writer.Open(path, &error)) << error;
  for (const std::string& name : names) {
    ASSERT_TRUE(writer.AddEntry(name, name.data(), name.size(), &error)) << error;
  }
  ASSERT_TRUE(writer.Finish(&error)) << error;
}

std::string RandomKey(std::mt19937& random) {
  // "C:" comes last so that it is never drawn first: a key that starts with
  // a drive cannot be related to any directory, and the index hands such
  // archives to the walk (checked separately below).
  static const char* const kPieces[] = {"data", "DATA",         "Data",  "voice", "bg",
                                        ".",    "..",           "a.png", "b.txt", "x",
                                        "..x",  "\xE6\x95\xB0", "C:"};
  static const char* const kSeparators[] = {"/", "\\", "//", "\\\\", "/\\"};
  std::string key;
  const int depth = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < depth; ++i) {
    if (i > 0) key += kSeparators[random() % 5];
    key += kPieces[random() % (i == 0 ? 12 : 13)];
  }
  if (random() % 10 == 0) key = "/" + key;
  return key;
}

TEST(DirectoryIndex, GivesTheSameRecordsAsTheWalkOverEveryEntry) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  char narrow[MAX_PATH];
  WideCharToMultiByte(CP_UTF8, 0, temp, -1, narrow, MAX_PATH, nullptr, nullptr);
  const std::string archive = std::string(narrow) + "directory-index-test.xp3";
  const std::vector<std::string> searched = {kBase,
                                             "C:\\Games\\Title\\",
                                             "c:\\games\\title\\DATA",
                                             "C:\\Games\\Title\\data\\voice",
                                             "C:\\Games\\Title\\.",
                                             "C:\\Games\\Title\\..",
                                             "C:\\Games\\Title\\x",
                                             "C:\\Games\\Title\\\\data",
                                             "C:\\Games\\Title\\data\\a.png",
                                             "C:\\Games",
                                             "D:\\Games\\Title",
                                             "C:\\Games\\Title\\\xE6\x95\xB0"};
  const std::vector<std::wstring> patterns = {L"*", L"*.png", L"d*", L"DATA", L"?", L".", L"*.*"};
  std::mt19937 random(20261208);
  int compared = 0;
  for (int tree = 0; tree < 40; ++tree) {
    {
      Xp3Writer writer(Xp3WriterOptions{});
      std::string error;
      ASSERT_TRUE(writer.Open(archive, &error)) << error;
      const int entries = 1 + static_cast<int>(random() % 40);
      for (int i = 0; i < entries; ++i) {
        std::string content(random() % 50, 'c');
        ASSERT_TRUE(writer.AddEntry(RandomKey(random), content.data(), content.size(), &error))
            << error;
      }
      ASSERT_TRUE(writer.Finish(&error)) << error;
    }
    OverlayRegistry registry(kBase);
    ASSERT_TRUE(registry.Mount(archive));
    for (const std::string& directory : searched) {
      // A system listing holding a directory "data" exercises the rule that
      // a directory on disk is not listed again.
      WIN32_FIND_DATAW on_disk;
      std::memset(&on_disk, 0, sizeof on_disk);
      on_disk.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
      wcscpy(on_disk.cFileName, L"data");
      for (const auto& system : {std::vector<WIN32_FIND_DATAW>{}, std::vector{on_disk}}) {
        for (const std::wstring& pattern : patterns) {
          ASSERT_EQ(RecordText(ArchiveRecords(registry, directory, pattern, system)),
                    RecordText(WalkArchiveRecords(registry, directory, pattern, system)))
              << "tree " << tree << ", directory " << directory;
          ++compared;
        }
      }
    }
  }
  DeleteFileA(archive.c_str());
  EXPECT_EQ(compared, 40 * 12 * 2 * 7);
}

TEST(DirectoryIndex, ArchivesWithDriveRelativeKeysAreLeftToTheWalk) {
  const std::string plain = TempArchivePath("directory-index-plain.xp3");
  const std::string drive_relative = TempArchivePath("directory-index-drive-relative.xp3");
  WriteArchive(plain, {"data/a.png"});
  WriteArchive(drive_relative, {"C:x/y"});
  {
    OverlayRegistry registry(kBase);
    ASSERT_TRUE(registry.Mount(plain));
    std::vector<DirectoryIndex::Child> children;
    ASSERT_TRUE(registry.Directories().Lookup("C:\\Games\\Title\\data", &children));
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].name, "a.png");
    EXPECT_FALSE(
        registry.Directories().Lookup("C:\\Games", &children));  // outside the game directory
    ASSERT_TRUE(registry.Mount(drive_relative));
    EXPECT_FALSE(registry.Directories().Lookup("C:\\Games\\Title\\data", &children));
  }
  DeleteFileA(plain.c_str());
  DeleteFileA(drive_relative.c_str());
}

}  // namespace
