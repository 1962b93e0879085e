#include "overlay/path_key.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "overlay/path_strings.h"
#include "platform/text_conversion.h"
#include "platform/utf8_boundary_cases.h"

namespace {

const std::string kBase = "C:\\Games\\Title";

std::string Key(const std::string& utf8_path) {
  WideString wide;
  EXPECT_TRUE(FromUtf8(utf8_path, &wide));
  std::string key;
  EXPECT_TRUE(MakePathKey(wide, kBase, &key));
  return key;
}

TEST(PathKey, GamePathsBecomeKeysRelativeToTheGameDirectory) {
  EXPECT_EQ(Key("C:\\Games\\Title\\data\\bg.png"), "data\\bg.png");
  EXPECT_EQ(Key("c:/games/TITLE/data/bg.png"), "data\\bg.png");
  EXPECT_EQ(Key("data/bg.png"), "data\\bg.png");
  EXPECT_EQ(Key("C:\\Games\\Title"), ".");
  EXPECT_EQ(Key("C:\\Games\\Title\\"), ".");
  EXPECT_EQ(Key("C:\\Games\\Title\\data\\"), "data");
  EXPECT_EQ(Key("data\\"), "data\\");
  EXPECT_EQ(Key("C:\\Games\\Title\\\\data\\bg.png"), "data\\bg.png");
  EXPECT_EQ(Key("data\\\\bg.png"), "data\\\\bg.png");
  EXPECT_EQ(Key("C:\\Games\\Other\\x.png"), "..\\Other\\x.png");
  EXPECT_EQ(Key("D:\\x.png"), "D:\\x.png");
  EXPECT_EQ(Key("C:\\Games\\Title\\.\\data\\bg.png"), ".\\data\\bg.png");
  EXPECT_EQ(Key("\\\\?\\C:\\Games\\Title\\a"), "\\\\?\\C:\\Games\\Title\\a");
  EXPECT_EQ(Key("//server/share/a"), "\\\\server\\share\\a");
  EXPECT_EQ(Key("\\data\\bg.png"), "\\data\\bg.png");
}

TEST(PathKey, AGameAtADriveRootGivesKeysLikeAnyOther) {
  auto key = [](const std::string& path) {
    WideString wide;
    EXPECT_TRUE(FromUtf8(path, &wide));
    std::string k;
    EXPECT_TRUE(MakePathKey(wide, "D:\\", &k));
    return k;
  };
  EXPECT_EQ(key("D:\\data\\bg.png"), "data\\bg.png");
  EXPECT_EQ(key("d:/DATA/bg.png"), "DATA\\bg.png");
  EXPECT_EQ(key("D:\\"), ".");
  EXPECT_EQ(key("C:\\data\\bg.png"), "C:\\data\\bg.png");
}

// The key as the path rules compose it, step by step, to hold the
// allocation-free derivation to.
std::string ComposedKey(const std::string& utf8_path, const std::string& base) {
  std::string key = ReplaceAll(utf8_path, "/", "\\");
  return IsDriveAbsolute(key) ? RelativePath(key, base) : key;
}

TEST(PathKey, BuilderAgreesWithTheComposedPathRulesOnRandomPaths) {
  static const char* const kPieces[] = {"Games", "games", "GAMES", "Title", "title",        "data",
                                        ".",     "..",    "",      "x.png", "\xE6\x95\xB0", "C:"};
  static const char* const kStarts[] = {"C:\\", "c:/", "D:\\", "", "\\", "//", "C:"};
  static const char* const kBases[] = {"C:\\Games\\Title",   "c:/games/title/",   "C:\\",
                                       "C:\\Games\\\\Title", "\\\\server\\share", ""};
  std::mt19937 random(42);
  auto draw = [&](const char* const* starts, size_t start_count) {
    std::string path = starts[random() % start_count];
    const int depth = static_cast<int>(random() % 5);
    for (int i = 0; i < depth; ++i) {
      if (i > 0) path += random() % 3 == 0 ? "/" : "\\";
      path += kPieces[random() % 12];
    }
    if (random() % 6 == 0) path += "\\";
    return path;
  };
  PathKeyBuilder builder;  // reused, as the registry reuses none: stale state must not leak
  for (int i = 0; i < 20000; ++i) {
    const std::string base = kBases[random() % 6];
    const std::string path = draw(kStarts, 7);
    WideString wide;
    ASSERT_TRUE(FromUtf8(path, &wide));
    ASSERT_TRUE(builder.Make(wide.c_str(), base));
    ASSERT_EQ(std::string(builder.key()), ComposedKey(path, base)) << path << " against " << base;
  }
  // Paths longer than the builder's own storage take the same rules.
  const std::string long_path = "C:\\Games\\Title\\" + std::string(3000, 'a') + "\\b";
  WideString wide;
  ASSERT_TRUE(FromUtf8(long_path, &wide));
  ASSERT_TRUE(builder.Make(wide.c_str(), "C:\\Games\\Other"));
  EXPECT_EQ(std::string(builder.key()), ComposedKey(long_path, "C:\\Games\\Other"));
}

TEST(PathKey, BuilderConvertsExactlyLikeTheStrictConversion) {
  static const WCHAR kUnits[] = {u'a',   u'/',   u'\\',  0x7F,   0x80,   0x7FF,  0x800,  0x4E2D,
                                 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  std::mt19937 random(7);
  PathKeyBuilder builder;
  int refused = 0;
  for (int i = 0; i < 20000; ++i) {
    WideString path;
    const int length = 1 + static_cast<int>(random() % 6);
    for (int j = 0; j < length; ++j) path += kUnits[random() % 16];
    std::string expected;
    const bool converts = ToUtf8(path, &expected);
    ASSERT_EQ(builder.Make(path.c_str(), kBase), converts) << i;
    if (!converts) {
      ++refused;
      continue;
    }
    ASSERT_EQ(std::string(builder.key()), ReplaceAll(expected, "/", "\\")) << i;
  }
  EXPECT_GT(refused, 1000);  // unpaired surrogates were drawn often enough
}

TEST(PathKey, UnpairedSurrogateYieldsNoKey) {
  WideString bad = {u'a', 0xD800};
  std::string key = "stale";
  EXPECT_FALSE(MakePathKey(bad, kBase, &key));
  EXPECT_TRUE(key.empty());
}

// Keys are built with an encoder of their own, held to the strict
// conversion at every boundary: a name one byte off would match nothing.
TEST(PathKey, KeysEncodeEveryBoundaryOfUtf8Exactly) {
  for (const Utf8BoundaryCase& c : Utf8BoundaryCases()) {
    WideString in_game;
    ASSERT_TRUE(FromUtf8("C:\\Games\\Title\\d/", &in_game));
    for (const WideString& prefix : {WideString(), in_game}) {
      const WideString path = prefix + c.wide;
      std::string key = "stale";
      EXPECT_EQ(MakePathKey(path, kBase, &key), c.valid) << c.utf8;
      EXPECT_EQ(key, c.valid ? (prefix.empty() ? "" : "d\\") + c.utf8 : "");
    }
  }
}

// Every letter folds, in both directions, and nothing else: the bytes next
// to the letters ('@', '[', '`', '{') and every byte above 0x7F stay apart.
TEST(PathKey, EveryAsciiLetterFoldsInHashAndEqualityAndNothingElseDoes) {
  for (int c = 1; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const std::string key = std::string("x") + static_cast<char>(c) + "y";
    if (letter) {
      const std::string other = std::string("x") + static_cast<char>(c ^ 0x20) + "y";
      EXPECT_TRUE(PathKeyEqual(key, other)) << c;
      EXPECT_TRUE(PathKeyEqual(other, key)) << c;
      EXPECT_EQ(PathKeyHash(key), PathKeyHash(other)) << c;
      // The folded form is the lower case one.
      const std::string lower = std::string("x") + static_cast<char>(c | 0x20) + "y";
      uint32_t h = 0x811C9DC5u;
      for (unsigned char b : lower) h = (h ^ b) * 0x01000193u;
      EXPECT_EQ(PathKeyHash(key), h) << c;
    }
    for (int d = 1; d < 256; ++d) {
      if (d == c || (letter && d == (c ^ 0x20))) continue;
      const std::string other = std::string("x") + static_cast<char>(d) + "y";
      ASSERT_FALSE(PathKeyEqual(key, other)) << c << " " << d;
    }
  }
  // Whole names in either case, every letter at once.
  const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ\\";
  const std::string lower = "abcdefghijklmnopqrstuvwxyz\\";
  EXPECT_TRUE(PathKeyEqual(upper, lower));
  EXPECT_EQ(PathKeyHash(upper), PathKeyHash(lower));
  std::unordered_map<std::string, int, PathKeyHasher, PathKeyEquals> table;
  table[upper + "F.TXT"] = 1;
  EXPECT_EQ(table.count(Key("C:\\Games\\Title\\" + lower + "f.txt")), 1u);
  // The game directory matches in any case too, drive letter included.
  for (char drive = 'A'; drive <= 'Z'; ++drive) {
    const std::string base = std::string(1, drive) + ":\\" + upper + "G";
    const std::string path = std::string(1, static_cast<char>(drive | 0x20)) + ":/" + lower + "g/f";
    WideString wide;
    ASSERT_TRUE(FromUtf8(path, &wide));
    std::string key;
    ASSERT_TRUE(MakePathKey(wide, base, &key));
    EXPECT_EQ(key, "f") << drive;
    EXPECT_EQ(RelativePath(path, base), "f") << drive;
  }
}

TEST(PathKey, HashIsFnv1aOverAsciiFoldedBytes) {
  EXPECT_EQ(PathKeyHash(""), 0x811C9DC5u);
  EXPECT_EQ(PathKeyHash("a"), 0xE40C292Cu);  // FNV-1a of "a"
  EXPECT_EQ(PathKeyHash("A"), PathKeyHash("a"));
  EXPECT_EQ(PathKeyHash("DATA\\BG.PNG"), PathKeyHash("data\\bg.png"));
  // Non-ASCII bytes are not folded.
  EXPECT_NE(PathKeyHash("\xC3\x84"), PathKeyHash("\xC3\xA4"));
}

TEST(PathKey, EqualityFoldsAsciiOnly) {
  EXPECT_TRUE(PathKeyEqual("DATA\\BG.PNG", "data\\bg.png"));
  EXPECT_FALSE(PathKeyEqual("data\\bg.png", "data\\bg.pn"));
  EXPECT_FALSE(PathKeyEqual("\xC3\x84.txt", "\xC3\xA4.txt"));  // Ä vs ä
  EXPECT_FALSE(PathKeyEqual("a[", "a{"));                      // 0x5B/0x7B are not letters
}

TEST(PathKey, TablesFindEntriesAndTheMemoryFileInAnySpelling) {
  std::unordered_map<std::string, int, PathKeyHasher, PathKeyEquals> table;
  table["DATA\\BG.PNG"] = 1;
  table["acp"] = 2;
  EXPECT_EQ(table.count(Key("C:/games/title/data/bg.png")), 1u);
  EXPECT_EQ(table.at(Key("acp")), 2);
  EXPECT_EQ(table.at(Key("ACP")), 2);
  EXPECT_EQ(table.at(Key("C:\\Games\\Title\\Acp")), 2);
  EXPECT_EQ(table.count(Key("data")), 0u);
}

}  // namespace
