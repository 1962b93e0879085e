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
    PositionedFile::SetSystemReadHook(nullptr);
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

// The system read numbered g_fault_at (from 1) is cut to one byte,
// interrupted or failed; every other one passes.
int g_system_reads = 0;
int g_fault_at = 0;
int64_t g_fault = 0;

int64_t FaultAtK(uint32_t size) {
  if (++g_system_reads != g_fault_at) return size;
  return g_fault == 1 ? 1 : g_fault;
}

// The system may deliver less than asked, or be interrupted by a signal,
// in any single read: a request still gets all its bytes. Only a failed
// read fails it.
TEST_F(PositionedFileTest, EachSystemReadMayComeShortOrBeInterruptedWithoutLosingBytes) {
  PositionedFile file;
  ASSERT_TRUE(file.OpenBytes(path_));
  PositionedFile::SetSystemReadHook(FaultAtK);
  for (int64_t fault :
       {int64_t{1}, PositionedFile::kReadInterrupted, PositionedFile::kReadFailed}) {
    for (g_fault_at = 1; g_fault_at <= 3; ++g_fault_at) {
      SCOPED_TRACE(testing::Message() << "fault " << fault << " at read " << g_fault_at);
      g_fault = fault;
      g_system_reads = 0;
      char buffer[8] = {};
      const int64_t got = file.ReadAt(buffer, 6, 3);
      if (fault == PositionedFile::kReadFailed && g_fault_at == 1) {
        EXPECT_EQ(got, -1);
      } else {
        // A single read passes when nothing is cut: later k never come.
        ASSERT_EQ(got, 6);
        EXPECT_EQ(std::string(buffer, 6), "345678");
      }
    }
  }
  // Short reads one after the other, down to a byte each.
  PositionedFile::SetSystemReadHook([](uint32_t size) -> int64_t { return size > 1 ? 1 : size; });
  char buffer[10] = {};
  EXPECT_EQ(file.ReadAt(buffer, 10, 0), 10);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  // A short read that delivers nothing is the end of the file.
  PositionedFile::SetSystemReadHook([](uint32_t) -> int64_t { return 0; });
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 0);
}

}  // namespace
