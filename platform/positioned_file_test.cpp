#include "platform/positioned_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class PositionedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string(::testing::TempDir()) + "positioned_file_test.bin";
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("0123456789", f);
    std::fclose(f);
  }
  void TearDown() override {
    PositionedFile::SetReadFaultHook(nullptr);
    std::remove(path_.c_str());
  }
  std::string path_;
};

TEST_F(PositionedFileTest, ReadsAtOffsetsWithoutAPositionAndStopsAtTheEnd) {
  PositionedFile file;
  ASSERT_TRUE(file.OpenBytes(path_));
  EXPECT_EQ(file.Size(), 10);
  char buffer[8] = {};
  EXPECT_EQ(file.ReadAt(buffer, 3, 7), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(file.ReadAt(buffer, 4, 2), 4);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  EXPECT_EQ(file.ReadAt(buffer, 8, 6), 4);
  EXPECT_EQ(file.ReadAt(buffer, 8, 10), 0);
  EXPECT_EQ(file.ReadAt(buffer, 8, 1000), 0);
  EXPECT_EQ(file.ReadAt(buffer, 8, -1), -1);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(file.ReadAt(buffer, 1, 0), -1);
}

TEST_F(PositionedFileTest, MissingFilesDoNotOpen) {
  PositionedFile file;
  EXPECT_FALSE(file.OpenBytes(path_ + ".missing"));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Size(), -1);
}

TEST_F(PositionedFileTest, TheFaultHookFailsOrShortensReads) {
  PositionedFile file;
  ASSERT_TRUE(file.OpenBytes(path_));
  char buffer[8] = {};
  PositionedFile::SetReadFaultHook([](uint32_t) -> int64_t { return -1; });
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), -1);
  PositionedFile::SetReadFaultHook([](uint32_t size) -> int64_t { return size / 2; });
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 2);
  EXPECT_EQ(std::string(buffer, 2), "01");
  PositionedFile::SetReadFaultHook(nullptr);
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 4);
}

}  // namespace
