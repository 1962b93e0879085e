#include "archive/read_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

#include "archive/in_mem_read_stream.h"
#include "archive/mem_read_stream.h"
#include "archive/read_stream_region.h"
#include "archive/zlib_decompressor.h"
#include "archive/test_archive_builder.h"

namespace {

Bytes Iota(size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t{0});
  return b;
}

// A source that serves at most `chunk` bytes per Read, can be told to fail,
// and can pretend to be huge: positioned reads fill the buffer with the low
// byte of each offset.
class ScriptedSource : public ReadStream {
 public:
  explicit ScriptedSource(int64_t size, uint32_t chunk = std::numeric_limits<uint32_t>::max())
      : size_(size), chunk_(chunk) {}
  uint32_t Read(void* buffer, uint32_t size) override {
    const uint32_t n = ReadAt(buffer, std::min(size, chunk_), position_);
    position_ += n;
    return n;
  }
  bool Seek(int64_t offset, SeekOrigin origin) override {
    const int64_t target = origin == Begin ? offset : origin == Current ? position_ + offset : -1;
    if (target < 0 || target > size_) return false;
    position_ = target;
    return true;
  }
  int64_t Tell() override { return position_; }
  bool IsSeekable() override { return seekable; }
  bool IsEof() override { return position_ >= size_; }
  bool HasError() override { return failed; }
  bool Close() override { return true; }
  uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override {
    last_request = size;
    if (fail_reads) failed = true;
    if (failed || offset < 0 || offset >= size_) return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>({size, chunk_, size_ - offset}));
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < n && i < 4096; ++i) out[i] = static_cast<uint8_t>(offset + i);
    return n;
  }

  bool seekable = true;
  bool fail_reads = false;
  bool failed = false;
  uint32_t last_request = 0;

 private:
  int64_t size_;
  uint32_t chunk_;
  int64_t position_ = 0;
};

TEST(MemoryStreams, SeekRulesAreTheSameForBorrowedAndOwnedBytes) {
  const Bytes data = Iota(10);
  InMemReadStream borrowed(data.data(), 10);
  MemReadStream owned(data);
  for (ReadStream* s : std::initializer_list<ReadStream*>{&borrowed, &owned}) {
    EXPECT_TRUE(s->Seek(10, Begin));
    EXPECT_TRUE(s->IsEof());
    EXPECT_FALSE(s->Seek(11, Begin));
    EXPECT_FALSE(s->Seek(-1, Begin));
    EXPECT_EQ(s->Tell(), 10);
    EXPECT_TRUE(s->Seek(-1, End));
    uint8_t b = 0;
    EXPECT_EQ(s->Read(&b, 1), 1u);
    EXPECT_EQ(b, 9);
    EXPECT_TRUE(s->Seek(-4, Current));
    EXPECT_EQ(s->Tell(), 6);
    EXPECT_FALSE(s->Seek(std::numeric_limits<int64_t>::max(), Current));
    EXPECT_FALSE(s->Seek(0, static_cast<SeekOrigin>(3)));
    EXPECT_EQ(s->Tell(), 6);
    EXPECT_FALSE(s->HasError());
    EXPECT_TRUE(s->Close());
  }
}

TEST(MemoryStreams, OwnedStreamKeepsItsCopyAndReadsAtWithoutMoving) {
  Bytes data = Iota(8);
  MemReadStream s(data);
  data.assign(8, 0xFF);
  uint8_t buf[8] = {};
  EXPECT_EQ(s.ReadAt(buf, 100, 5), 3u);
  EXPECT_EQ(buf[0], 5);
  EXPECT_EQ(s.Tell(), 0);
  EXPECT_EQ(s.ReadAt(buf, 1, 8), 0u);
  EXPECT_EQ(s.ReadAt(buf, 1, -1), 0u);
  EXPECT_EQ(s.Read(buf, 8), 8u);
  EXPECT_EQ(buf[7], 7);
}

TEST(MemoryStreams, BorrowedStreamReadsAtBySeeking) {
  const Bytes data = Iota(8);
  InMemReadStream s(data.data(), 8);
  uint8_t b = 0;
  EXPECT_EQ(s.ReadAt(&b, 1, 6), 1u);
  EXPECT_EQ(b, 6);
  EXPECT_EQ(s.Tell(), 7);
  EXPECT_EQ(s.ReadAt(&b, 1, 9), 0u);
}

TEST(ReadHelpers, IntegersAreLittleEndianAndLeaveTheOutputAloneOnFailure) {
  MemReadStream s(
      Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E});
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0xDEAD;
  ASSERT_TRUE(s.ReadU8(&u8));
  ASSERT_TRUE(s.ReadU16(&u16));
  ASSERT_TRUE(s.ReadU32(&u32));
  EXPECT_EQ(u8, 0x01);
  EXPECT_EQ(u16, 0x0302);
  EXPECT_EQ(u32, 0x07060504u);
  EXPECT_FALSE(s.ReadU64(&u64));  // 8 asked, 7 left
  EXPECT_EQ(u64, 0xDEADu);
  EXPECT_TRUE(s.IsEof());
}

TEST(ReadHelpers, ReadExactCollectsShortReadsAndFailsOnEndOrError) {
  ScriptedSource trickle(100, 7);
  uint8_t buf[50];
  EXPECT_TRUE(trickle.ReadExact(buf, 50));
  EXPECT_EQ(buf[49], 49);
  EXPECT_FALSE(trickle.ReadExact(buf, 51));  // only 50 left
  EXPECT_TRUE(trickle.IsEof());

  ScriptedSource failing(100);
  failing.fail_reads = true;
  EXPECT_FALSE(failing.ReadExact(buf, 10));
  EXPECT_FALSE(failing.ReadExact(buf, 0));  // nothing asked, but the error stands
}

TEST(ReadHelpers, SkipSeeksWhenPossibleAndFailsPastTheEnd) {
  MemReadStream s(Iota(10));
  EXPECT_TRUE(s.Skip(4));
  EXPECT_EQ(s.Tell(), 4);
  EXPECT_FALSE(s.Skip(7));
  EXPECT_EQ(s.Tell(), 4);
  // A count beyond the signed range must not become a backward seek.
  EXPECT_FALSE(s.Skip(~0ull));
  EXPECT_EQ(s.Tell(), 4);
}

TEST(ReadHelpers, SkipReadsAndDiscardsOnStreamsThatCannotSeek) {
  ScriptedSource source(10000, 1000);
  source.seekable = false;
  EXPECT_TRUE(source.Skip(9000));
  EXPECT_EQ(source.Tell(), 9000);
  EXPECT_TRUE(source.Skip(5000));  // ends early without error: still success
  EXPECT_TRUE(source.IsEof());

  ScriptedSource failing(10000);
  failing.seekable = false;
  failing.fail_reads = true;
  EXPECT_FALSE(failing.Skip(10));
}

TEST(ReadStreamRegion, NeverReadsOutsideItsWindow) {
  const Bytes data = Iota(120);
  MemReadStream source(data);
  ReadStreamRegion region(&source, 100, 150);
  uint8_t buf[100];
  EXPECT_EQ(region.Read(buf, 100), 20u);  // what the source has at 100
  EXPECT_EQ(buf[0], 100);

  ReadStreamRegion inner(&source, 10, 15);
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(inner.Read(buf, 100), 5u);
  EXPECT_EQ(buf[4], 14);
  EXPECT_EQ(buf[5], 0);
  EXPECT_EQ(inner.Read(buf, 100), 0u);
  EXPECT_TRUE(inner.IsEof());
  EXPECT_FALSE(inner.HasError());

  EXPECT_EQ(inner.ReadAt(buf, 100, 3), 2u);
  EXPECT_EQ(buf[0], 13);
  EXPECT_EQ(inner.ReadAt(buf, 1, 5), 0u);
  EXPECT_EQ(inner.ReadAt(buf, 1, -1), 0u);
  EXPECT_EQ(source.Tell(), 0);  // the source's own position is never used
}

TEST(ReadStreamRegion, SeeksWithinItsLength) {
  MemReadStream source(Iota(50));
  ReadStreamRegion region(&source, 10, 20);
  EXPECT_TRUE(region.Seek(10, Begin));
  EXPECT_TRUE(region.IsEof());
  EXPECT_FALSE(region.Seek(1, Current));
  EXPECT_TRUE(region.Seek(-3, End));
  uint8_t b = 0;
  EXPECT_EQ(region.Read(&b, 1), 1u);
  EXPECT_EQ(b, 17);
  EXPECT_FALSE(region.Seek(-9, Current));
  EXPECT_EQ(region.Tell(), 8);
}

TEST(ReadStreamRegion, OverAStreamThatCannotSeekYieldsNothingAndReportsAnError) {
  const Bytes packed = ZlibCompress(Iota(100));
  auto* decoder = new ZlibDecompressor(new MemReadStream(packed));
  std::unique_ptr<ReadStream> owner(decoder);
  ReadStreamRegion region(decoder, 0, 50);
  uint8_t buf[10];
  EXPECT_FALSE(region.IsSeekable());
  EXPECT_TRUE(region.HasError());
  EXPECT_EQ(region.Read(buf, 10), 0u);
  EXPECT_EQ(region.ReadAt(buf, 10, 0), 0u);

  ReadStreamRegion none(nullptr, 0, 10);
  EXPECT_TRUE(none.HasError());
  EXPECT_TRUE(none.IsEof());
  EXPECT_FALSE(none.Seek(0, Begin));
}

TEST(ReadStreamRegion, ErrorOfTheSourceSticksEvenAfterTheSourceRecovers) {
  ScriptedSource source(100);
  ReadStreamRegion region(&source, 0, 100);
  uint8_t buf[10];
  source.fail_reads = true;
  EXPECT_EQ(region.Read(buf, 10), 0u);
  source.fail_reads = false;
  source.failed = false;
  EXPECT_TRUE(region.HasError());
  EXPECT_EQ(region.Read(buf, 10), 0u);
  EXPECT_EQ(region.ReadAt(buf, 10, 0), 0u);
}

TEST(ReadStreamRegion, WindowsBelowZeroOrInsideOutReadNothing) {
  ScriptedSource source(100);
  uint8_t buf[10];
  ReadStreamRegion negative(&source, -5, 5);
  EXPECT_EQ(negative.Read(buf, 10), 0u);
  EXPECT_TRUE(negative.HasError());
  EXPECT_FALSE(source.HasError());  // the shared source was never asked

  ReadStreamRegion inside_out(&source, 50, 40);
  EXPECT_EQ(inside_out.Read(buf, 10), 0u);
  EXPECT_TRUE(inside_out.IsEof());
  EXPECT_FALSE(inside_out.HasError());
}

TEST(ReadStreamRegion, LengthsOf4GiBAndMoreAreClampedAs64BitValues) {
  const int64_t four_gib = int64_t{1} << 32;
  ScriptedSource source(four_gib * 3);
  std::vector<uint8_t> buf(4096);
  ReadStreamRegion region(&source, 16, 16 + four_gib);
  EXPECT_EQ(region.Read(buf.data(), 4096), 4096u);
  EXPECT_EQ(buf[0], 16);
  EXPECT_TRUE(region.Seek(-4096, End));
  EXPECT_EQ(region.Read(buf.data(), 4096), 4096u);
  ReadStreamRegion huge(&source, 0, four_gib * 2);
  EXPECT_EQ(huge.ReadAt(buf.data(), 100, four_gib - 1), 100u);
  EXPECT_EQ(source.last_request, 100u);
}

}  // namespace
