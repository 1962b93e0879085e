#include "overlay/path_strings.h"

#include <gtest/gtest.h>

namespace {

const std::string kBase = "C:\\Games\\Title";

TEST(PathStrings, DriveAbsoluteNeedsLetterColonSeparator) {
  EXPECT_TRUE(IsDriveAbsolute("C:\\"));
  EXPECT_TRUE(IsDriveAbsolute("z:/tmp"));
  EXPECT_FALSE(IsDriveAbsolute("C:"));
  EXPECT_FALSE(IsDriveAbsolute("C:data"));
  EXPECT_FALSE(IsDriveAbsolute("\\\\server\\share"));
  EXPECT_FALSE(IsDriveAbsolute("\\\\?\\C:\\x"));
  EXPECT_FALSE(IsDriveAbsolute("\\data"));
  EXPECT_FALSE(IsDriveAbsolute("1:\\x"));
}

TEST(PathStrings, DirectoryAndFileNameSplitAtTheLastEitherSeparator) {
  EXPECT_EQ(DirectoryOf("C:\\a\\b.png"), "C:\\a");
  EXPECT_EQ(DirectoryOf("C:\\"), "C:");
  EXPECT_EQ(DirectoryOf("a/b\\c/d"), "a/b\\c");
  EXPECT_EQ(DirectoryOf("name"), "");
  EXPECT_EQ(FileNameOf("C:\\a\\*.png"), "*.png");
  EXPECT_EQ(FileNameOf("noseparator"), "noseparator");
  EXPECT_EQ(FileNameOf("a/b\\c"), "c");
  EXPECT_EQ(FileNameOf("http://host/dir/f.txt?x=/y#z"), "f.txt");
  EXPECT_EQ(FileNameOf("http://host/dir/f.txt#frag/x"), "f.txt");
  EXPECT_EQ(FileNameOf("a://b"), "b");
}

TEST(PathStrings, JoinPathRules) {
  EXPECT_EQ(JoinPath(kBase, "data\\bg.png"), "C:\\Games\\Title\\data\\bg.png");
  EXPECT_EQ(JoinPath(kBase, "\\x"), "C:\\x");
  EXPECT_EQ(JoinPath("C:\\Games\\Title\\", "x"), "C:\\Games\\Title\\x");
  EXPECT_EQ(JoinPath("", "x"), "x");
  EXPECT_EQ(JoinPath("x", ""), "x");
  EXPECT_EQ(JoinPath(kBase, "D:\\y"), "D:\\y");
  EXPECT_EQ(JoinPath(kBase, "D:y"), "D:y");
  EXPECT_EQ(JoinPath("rel", "/root"), "/root");
  EXPECT_EQ(JoinPaths({"C:\\a", "b", "c.txt"}), "C:\\a\\b\\c.txt");
  EXPECT_EQ(JoinPaths({}), "");
}

TEST(PathStrings, SplitKeepsEmptyPieces) {
  EXPECT_EQ(SplitString("", "\\"), std::vector<std::string>{""});
  EXPECT_EQ(SplitString("a", "\\"), std::vector<std::string>{"a"});
  EXPECT_EQ(SplitString("a\\\\b\\", "\\"), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(SplitString("a::b", "::"), (std::vector<std::string>{"a", "b"}));
}

TEST(PathStrings, ReplaceAllResumesAfterTheInsertedText) {
  EXPECT_EQ(ReplaceAll("a/b/c", "/", "\\"), "a\\b\\c");
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(LowerAscii("AbC\xC3\x84"), "abc\xC3\x84");
}

TEST(PathStrings, RelativePathRelatesAndRefuses) {
  EXPECT_EQ(RelativePath("C:\\a\\b", "C:\\a\\c\\d"), "..\\..\\b");
  EXPECT_EQ(RelativePath("C:\\a", "C:\\a\\"), ".");
  EXPECT_EQ(RelativePath("c:/games/TITLE/data/bg.png", kBase), "data\\bg.png");
  EXPECT_EQ(RelativePath("C:\\Games\\Title\\\\data\\bg.png", kBase), "data\\bg.png");
  EXPECT_EQ(RelativePath("C:\\Games\\Other\\x.png", kBase), "..\\Other\\x.png");
  EXPECT_EQ(RelativePath("D:\\x.png", kBase), "D:\\x.png");
  EXPECT_EQ(RelativePath("data\\x", kBase), "data\\x");
  EXPECT_EQ(RelativePath("C:\\Games\\Title\\.\\data", kBase), ".\\data");
  EXPECT_EQ(RelativePath("C:\\Games\\Title", kBase), ".");
  EXPECT_EQ(RelativePath("a/b", ""), "..\\a\\b");  // empty start means "."
  EXPECT_EQ(RelativePath("x/y", "x"), "y");
}

TEST(PathStrings, AGameOrASearchAtADriveRootKeepsTheRoot) {
  EXPECT_EQ(GameDirectoryOf("C:\\Games\\Title\\game.exe"), "C:\\Games\\Title");
  EXPECT_EQ(GameDirectoryOf("C:/Games/Title/game.exe"), "C:\\Games\\Title");
  EXPECT_EQ(GameDirectoryOf("D:\\game.exe"), "D:\\");
  EXPECT_EQ(GameDirectoryOf("D:/game.exe"), "D:\\");
  EXPECT_EQ(GameDirectoryOf("\\\\server\\share\\game.exe"), "\\\\server\\share");
  EXPECT_EQ(SearchedDirectoryOf("D:\\*"), "D:\\");
  EXPECT_EQ(SearchedDirectoryOf("D:\\data\\*.png"), "D:\\data");
  EXPECT_EQ(SearchedDirectoryOf("D:*"), "");
}

TEST(PathStrings, OnlyAFirstComponentOfExactlyTwoDotsLeadsOut) {
  EXPECT_TRUE(BeginsWithParent(".."));
  EXPECT_TRUE(BeginsWithParent("..\\x"));
  EXPECT_TRUE(BeginsWithParent("../x"));
  EXPECT_FALSE(BeginsWithParent("..dots"));
  EXPECT_FALSE(BeginsWithParent("..dots\\x.txt"));
  EXPECT_FALSE(BeginsWithParent("x\\.."));
  EXPECT_FALSE(BeginsWithParent("."));
  EXPECT_FALSE(BeginsWithParent(""));
}

TEST(PathStrings, FullPathResolvesRelativeNames) {
  const std::string full = FullPath("some-file.txt");
  ASSERT_FALSE(full.empty());
  EXPECT_EQ(FileNameOf(full), "some-file.txt");
  EXPECT_EQ(FullPath(""), "");
}

}  // namespace
