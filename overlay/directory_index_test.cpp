// The directory index must give exactly the records of the walk over every
// entry: checked over many generated trees whose keys mix case, separators,
// repeated separators, "." and ".." components, names shared between a file
// and a directory, keys that spell out the game directory, consecutive keys
// sharing directories, and a second archive replacing entries of the first.
#include "overlay/directory_index.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "overlay/directory_overlay.h"
#include "overlay/path_strings.h"
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

std::string RandomKey(std::mt19937& random, const std::string& previous) {
  // "C:" comes last so that it is never drawn first: a key that starts with
  // a drive cannot be related to any directory, and the index hands such
  // archives to the walk (checked separately below).
  static const char* const kPieces[] = {"data", "DATA",         "Data",  "voice", "bg",
                                        ".",    "..",           "a.png", "b.txt", "x",
                                        "..x",  "\xE6\x95\xB0", "C:"};
  static const char* const kSeparators[] = {"/", "\\", "//", "\\\\", "/\\"};
  if (!previous.empty() && random() % 3 == 0) {
    // Close to the previous key: below it (its file's path becomes a
    // directory), beside it, it again with a trailing separator, or its
    // directory as a file.
    switch (random() % 4) {
      case 0:
        return previous + kSeparators[random() % 5] + kPieces[random() % 13];
      case 1: {
        const size_t cut = previous.find_last_of("/\\");
        if (cut != std::string::npos) return previous.substr(0, cut + 1) + kPieces[random() % 13];
        break;
      }
      case 2:
        return previous + kSeparators[random() % 5];
      default: {
        const size_t cut = previous.find_last_of("/\\");
        if (cut != std::string::npos && cut > 0) return previous.substr(0, cut + 1);
        break;
      }
    }
  }
  std::string key;
  const int depth = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < depth; ++i) {
    if (i > 0) key += kSeparators[random() % 5];
    key += kPieces[random() % (i == 0 ? 12 : 13)];
  }
  // Rooted keys, and keys naming the game directory (or a sibling) in full.
  static const char* const kPrefixes[] = {
      "/",         "C:/Games/Title/", "c:\\GAMES\\title\\\\", "/Games/Title/",
      "C:/Games/", "\\Games\\Title"};
  if (random() % 5 == 0) key = kPrefixes[random() % 6] + key;
  return key;
}

TEST(DirectoryIndex, GivesTheSameRecordsAsTheWalkOverEveryEntry) {
  const std::string archives[2] = {TempArchivePath("directory-index-test-1.xp3"),
                                   TempArchivePath("directory-index-test-2.xp3")};
  const std::vector<std::string> searched = {kBase,
                                             "C:\\Games\\Title\\",
                                             "c:\\games\\title\\DATA",
                                             "C:\\Games\\Title\\data\\voice",
                                             "C:\\Games\\Title\\.",
                                             "C:\\Games\\Title\\..",
                                             "C:\\Games\\Title\\x",
                                             "C:\\Games\\Title\\\\data",
                                             "C:\\Games\\Title\\data\\a.png",
                                             "C:\\Games\\Title\\Data\\X\\",
                                             "C:\\Games\\Title\\data\\.",
                                             "C:\\Games\\Title\\..x",
                                             "C:\\Games\\Title\\x\\b.txt\\a.png",
                                             "C:\\Games",
                                             "D:\\Games\\Title",
                                             "C:\\Games\\Title\\\xE6\x95\xB0",
                                             "C:\\Saves",
                                             "C:\\"};
  const std::vector<std::wstring> patterns = {L"*", L"*.png", L"d*", L"DATA", L"?", L".", L"*.*"};
  std::mt19937 random(20261208);
  int compared = 0;
  for (int tree = 0; tree < 40; ++tree) {
    // The second archive repeats some keys of the first, in another case
    // and with another size, and adds its own.
    std::vector<std::string> keys;
    for (int a = 0; a < 2; ++a) {
      Xp3Writer writer(Xp3WriterOptions{});
      std::string error;
      ASSERT_TRUE(writer.Open(archives[a], &error)) << error;
      const int entries = 1 + static_cast<int>(random() % 40);
      for (int i = 0; i < entries; ++i) {
        std::string key;
        if (a == 1 && random() % 3 == 0) {
          key = LowerAscii(keys[random() % keys.size()]);
        } else {
          key = RandomKey(random, keys.empty() ? std::string() : keys.back());
          keys.push_back(key);
        }
        std::string content(random() % 50, 'c');
        ASSERT_TRUE(writer.AddEntry(key, content.data(), content.size(), &error)) << error;
      }
      ASSERT_TRUE(writer.Finish(&error)) << error;
    }
    {
      OverlayRegistry registry(kBase);
      ASSERT_TRUE(registry.Mount(archives[0]));
      ASSERT_TRUE(registry.Mount(archives[1]));
      std::vector<DirectoryIndex::Child> children;
      ASSERT_TRUE(registry.Directories().Lookup(kBase, &children)) << "the index answers";
      for (const std::string& directory : searched) {
        // A system listing holding a directory "data" exercises the rule
        // that a directory on disk is not listed again.
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
  }
  for (const std::string& archive : archives) DeleteFileA(archive.c_str());
  EXPECT_EQ(compared, static_cast<int>(40 * searched.size() * 2 * patterns.size()));
}

TEST(DirectoryIndex, ArchivesWithDriveRelativeKeysAreLeftToTheWalk) {
  const std::string plain = TempArchivePath("directory-index-plain.xp3");
  const std::string drive_relative = TempArchivePath("directory-index-drive-relative.xp3");
  WriteArchive(plain, {"data/a.png"});
  WriteArchive(drive_relative, {"C:x/y"});
  const std::string rooted = TempArchivePath("directory-index-rooted.xp3");
  WriteArchive(rooted, {"/Saves/slot1.sav"});
  {
    OverlayRegistry registry(kBase);
    ASSERT_TRUE(registry.Mount(plain));
    std::vector<DirectoryIndex::Child> children;
    ASSERT_TRUE(registry.Directories().Lookup("C:\\Games\\Title\\data", &children));
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].name, "a.png");
    // An ancestor of the game directory lists it: left to the walk.
    EXPECT_FALSE(registry.Directories().Lookup("C:\\Games", &children));
    // Elsewhere outside the game directory nothing of it can be listed.
    ASSERT_TRUE(registry.Directories().Lookup("D:\\Saves", &children));
    EXPECT_TRUE(children.empty());
    ASSERT_TRUE(registry.Directories().Lookup("C:\\Windows\\Fonts", &children));
    EXPECT_TRUE(children.empty());
    // An entry whose path leads outside the game directory can be.
    ASSERT_TRUE(registry.Mount(rooted));
    EXPECT_FALSE(registry.Directories().Lookup("C:\\Saves", &children));
    ASSERT_TRUE(registry.Directories().Lookup("C:\\Games\\Title\\data", &children));
    ASSERT_TRUE(registry.Mount(drive_relative));
    EXPECT_FALSE(registry.Directories().Lookup("C:\\Games\\Title\\data", &children));
  }
  DeleteFileA(plain.c_str());
  DeleteFileA(drive_relative.c_str());
  DeleteFileA(rooted.c_str());
}

}  // namespace
