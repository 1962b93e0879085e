#include "archive/file_read_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "archive/read_stream_region.h"
#include "archive/test_archive_builder.h"
#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace {

std::string ReadAll(ReadStream* s) {
  std::string out;
  char buf[256];
  for (uint32_t n; (n = s->Read(buf, sizeof buf)) > 0;) out.append(buf, n);
  return out;
}

// The UTF-8 form of a name the system stores as UTF-16.
std::string Utf8(const std::u16string& wide) {
  std::string out;
  EXPECT_TRUE(ToUtf8(WideString(wide.begin(), wide.end()), &out));
  return out;
}

TEST(FileReadStream, MissingFileGivesAClosedStreamThatFailsQuietly) {
  FileReadStream s(Utf8(TempDirW()) + "no such archive.xp3");
  uint8_t buf[4];
  EXPECT_FALSE(s.IsSeekable());
  EXPECT_TRUE(s.IsEof());
  EXPECT_TRUE(s.HasError());
  EXPECT_EQ(s.Read(buf, 4), 0u);
  EXPECT_EQ(s.ReadAt(buf, 4, 0), 0u);
  EXPECT_EQ(s.Tell(), -1);
  EXPECT_FALSE(s.Seek(0, Begin));
  EXPECT_TRUE(s.Close());
}

TEST(FileReadStream, ReadsSeeksAndClosesForGood) {
  TempFile file(Bytes{'a', 'b', 'c', 'd', 'e'});
  FileReadStream s(file.path());
  ASSERT_TRUE(s.IsSeekable());
  EXPECT_TRUE(s.Seek(-2, End));
  EXPECT_EQ(s.Tell(), 3);
  EXPECT_EQ(ReadAll(&s), "de");
  EXPECT_TRUE(s.IsEof());
  EXPECT_FALSE(s.HasError());  // the end of data is not an error
  EXPECT_FALSE(s.Seek(0, static_cast<SeekOrigin>(5)));
  EXPECT_TRUE(s.Close());
  EXPECT_FALSE(s.IsSeekable());
  EXPECT_FALSE(s.HasError());  // closing is not a failure either
  EXPECT_EQ(s.Tell(), -1);
  EXPECT_TRUE(s.Close());
}

TEST(FileReadStream, PositionedReadFailsOnANegativeOffsetAndTheErrorSticks) {
  TempFile file(Bytes{1, 2, 3});
  FileReadStream s(file.path());
  uint8_t buf[3];
  EXPECT_EQ(s.ReadAt(buf, 3, 1), 2u);
  EXPECT_EQ(buf[0], 2);
  EXPECT_FALSE(s.HasError());
  EXPECT_EQ(s.ReadAt(buf, 3, -1), 0u);
  EXPECT_TRUE(s.HasError());
  EXPECT_EQ(s.ReadAt(buf, 3, 0), 3u);  // later reads still work,
  EXPECT_TRUE(s.HasError());           // but the error is remembered
}

TEST(FileReadStream, PositionedReadsContinuingOrNotAndPlainReadsBetweenThemAgree) {
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  TempFile file(data);
  FileReadStream s(file.path());
  uint8_t buf[300];
  auto read_at = [&](uint32_t size, int64_t offset) {
    const uint32_t n = s.ReadAt(buf, size, offset);
    for (uint32_t i = 0; i < n; ++i) {
      if (buf[i] != data[offset + i]) return -1;
    }
    return static_cast<int>(n);
  };
  EXPECT_EQ(read_at(300, 0), 300);  // continuing reads
  EXPECT_EQ(read_at(300, 300), 300);
  EXPECT_EQ(read_at(100, 100), 100);  // backwards
  EXPECT_EQ(read_at(300, 800), 200);  // short at the end
  EXPECT_EQ(read_at(300, 1000), 0);
  EXPECT_EQ(read_at(50, 950), 50);  // after the end mark
  ASSERT_TRUE(s.Seek(10, Begin));   // the owner moves the position
  uint8_t one = 0;
  ASSERT_EQ(s.Read(&one, 1), 1u);
  EXPECT_EQ(one, data[10]);
  EXPECT_EQ(read_at(10, 1000 - 10), 10);
  EXPECT_EQ(read_at(10, 11), 10);  // not where the plain read left off
  EXPECT_FALSE(s.HasError());
}

TEST(FileReadStream, OpensUtf8NamesOnTheFirstAttempt) {
  // "数据.xp3"
  const std::u16string name = TempDirW() + u"archive_test_\u6570\u636E.xp3";
  ASSERT_TRUE(WriteFileW(name, "utf8"));
  FileReadStream s(Utf8(name));
  EXPECT_EQ(ReadAll(&s), "utf8");
  s.Close();
  RemoveFileW(name);
}

TEST(FileReadStream, NamesThatAreNotUtf8TryTheOemPageBeforeTheAnsiPage) {
  const std::string dir = Utf8(TempDirW());
  const std::string bytes = dir + "archive_test_caf\xE9.xp3";  // not UTF-8
  WideString as_ansi;
  WideString as_oem;
  ASSERT_TRUE(MultiByteToWide(bytes, CP_ACP, MB_ERR_INVALID_CHARS, &as_ansi));
  ASSERT_TRUE(MultiByteToWide(bytes, CP_OEMCP, MB_ERR_INVALID_CHARS, &as_oem));
  const std::u16string ansi(as_ansi.begin(), as_ansi.end());
  const std::u16string oem(as_oem.begin(), as_oem.end());
  // Written in this order, the OEM name holds "oem" even where both pages
  // decode the byte alike.
  ASSERT_TRUE(WriteFileW(ansi, "ansi"));
  ASSERT_TRUE(WriteFileW(oem, "oem"));
  {
    FileReadStream s(bytes);
    EXPECT_EQ(ReadAll(&s), "oem");
  }
  RemoveFileW(oem);
  if (ansi != oem) {
    FileReadStream s(bytes);
    EXPECT_EQ(ReadAll(&s), "ansi");
  }
  RemoveFileW(ansi);
}

TEST(FileReadStream, FallsBackToThePathBytesThemselves) {
  // A name whose bytes no code page maps to an existing wide name (on
  // Windows the runtime decodes the bytes like the ANSI step does).
  const std::string bytes = Utf8(TempDirW()) + "archive_test_raw\xFF\xFE.bin";
  {
    std::FILE* f = std::fopen(bytes.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("raw", f);
    std::fclose(f);
  }
  {
    FileReadStream s(bytes);
    EXPECT_EQ(ReadAll(&s), "raw");
  }
  std::remove(bytes.c_str());
}

TEST(FileReadStream, DeniesWritersButNotReadersWhileOpen) {
#ifndef _WIN32
  GTEST_SKIP() << "share modes exist on Windows only";
#else
  TempFile file(Bytes{1, 2, 3});
  FileReadStream s(file.path());
  ASSERT_TRUE(s.IsSeekable());
  WideString wide;
  ASSERT_TRUE(FromUtf8(file.path(), &wide));
  int fd = -1;
  EXPECT_NE(_wsopen_s(&fd, wide.c_str(), _O_WRONLY | _O_BINARY, _SH_DENYNO, 0), 0);
  fd = -1;
  ASSERT_EQ(_wsopen_s(&fd, wide.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0), 0);
  _close(fd);
  s.Close();
  ASSERT_EQ(_wsopen_s(&fd, wide.c_str(), _O_WRONLY | _O_BINARY, _SH_DENYNO, 0), 0);
  _close(fd);
#endif
}

TEST(FileReadStream, RegionsSharingOneFileKeepTheirOwnPositions) {
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  TempFile file(data);
  FileReadStream s(file.path());
  ReadStreamRegion first(&s, 0, 500);
  ReadStreamRegion second(&s, 500, 1000);
  Bytes got_first;
  Bytes got_second;
  uint8_t buf[33];
  for (;;) {
    const uint32_t a = first.Read(buf, sizeof buf);
    got_first.insert(got_first.end(), buf, buf + a);
    const uint32_t b = second.Read(buf, 17);
    got_second.insert(got_second.end(), buf, buf + b);
    if (a == 0 && b == 0) break;
  }
  EXPECT_EQ(got_first, Bytes(data.begin(), data.begin() + 500));
  EXPECT_EQ(got_second, Bytes(data.begin() + 500, data.end()));
}

TEST(FileReadStream, PositionedReadsFromManyThreadsNeverInterleave) {
  const Bytes data = PatternData(64 * 1024, 7);
  TempFile file(data);
  FileReadStream s(file.path());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint8_t buf[512];
      for (int i = 0; i < 200; ++i) {
        const int64_t offset = (t * 7919 + i * 4099) % (data.size() - sizeof buf);
        if (s.ReadAt(buf, sizeof buf, offset) != sizeof buf ||
            !std::equal(buf, buf + sizeof buf, data.begin() + offset)) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_FALSE(s.HasError());
}

}  // namespace
