#include "archive/xp3_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "archive/mem_read_stream.h"
#include "archive/segment_decoder.h"
#include "archive/test_archive_builder.h"
#include "archive/xp3_archive.h"

namespace {

// An archive file on disk, parsed, with helpers to open its entries.
class OpenedArchive {
 public:
  explicit OpenedArchive(const Bytes& file_bytes, bool locked = true)
      : file_(file_bytes), archive_(file_.path(), locked) {
    parsed_ = archive_.ParseIndex();
  }
  bool parsed() const { return parsed_; }
  Xp3Archive& archive() { return archive_; }
  std::unique_ptr<ReadStream> Open(const std::string& key) {
    for (const Xp3Entry& e : archive_.entries()) {
      if (e.key == key) return std::unique_ptr<ReadStream>(archive_.OpenEntry(e));
    }
    ADD_FAILURE() << "no entry " << key;
    return nullptr;
  }

 private:
  TempFile file_;
  Xp3Archive archive_;
  bool parsed_;
};

Bytes ReadAll(ReadStream* s, uint32_t step) {
  Bytes out;
  Bytes buf(step);
  for (uint32_t n; (n = s->Read(buf.data(), step)) > 0;) {
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  }
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t count) {
  return Bytes(b.begin() + from, b.begin() + from + count);
}

TEST(Xp3File, ReadsStopAtSegmentBoundaries) {
  const Bytes content = PatternData(300, 1);
  ArchiveBuilder b;
  b.AddEntry(
      u"three", content,
      {{SegmentKind::kStored, 100}, {SegmentKind::kStored, 100}, {SegmentKind::kStored, 100}});
  OpenedArchive a(b.Build());
  ASSERT_TRUE(a.parsed());
  auto s = a.Open("three");
  Bytes buf(300);
  EXPECT_EQ(s->Read(buf.data(), 300), 100u);
  EXPECT_EQ(Slice(buf, 0, 100), Slice(content, 0, 100));
  ASSERT_TRUE(s->Seek(250, Begin));
  EXPECT_EQ(s->Read(buf.data(), 100), 50u);
  EXPECT_EQ(Slice(buf, 0, 50), Slice(content, 250, 50));
  ASSERT_TRUE(s->Seek(0, Begin));
  ASSERT_TRUE(s->ReadExact(buf.data(), 300));
  EXPECT_EQ(buf, content);
  EXPECT_TRUE(s->IsEof());
  EXPECT_FALSE(s->HasError());
}

TEST(Xp3File, SeeksAnywhereUpToTheSizeAndNoFurther) {
  const Bytes content = PatternData(1000, 2);
  ArchiveBuilder b;
  b.AddEntry(u"e", content, {{SegmentKind::kZlib, 600}, {SegmentKind::kStored, 400}});
  OpenedArchive a(b.Build());
  auto s = a.Open("e");
  EXPECT_TRUE(s->IsSeekable());
  uint8_t byte;
  ASSERT_EQ(s->Read(&byte, 1), 1u);  // the decoded segment is held now
  EXPECT_TRUE(s->Seek(1000, Begin));
  EXPECT_TRUE(s->IsEof());
  EXPECT_EQ(s->Read(&byte, 1), 0u);
  EXPECT_FALSE(s->Seek(1001, Begin));
  EXPECT_FALSE(s->Seek(1, Current));
  EXPECT_FALSE(s->Seek(-1, Begin));
  EXPECT_FALSE(s->Seek(-1001, Current));
  EXPECT_FALSE(s->Seek(0, static_cast<SeekOrigin>(3)));
  EXPECT_EQ(s->Tell(), 1000);
  EXPECT_TRUE(s->Seek(-1000, End));
  EXPECT_EQ(s->Tell(), 0);
  ASSERT_EQ(s->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, content[0]);
  EXPECT_TRUE(s->Seek(599, Begin));
  EXPECT_EQ(s->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, content[599]);
  EXPECT_EQ(s->Read(&byte, 1), 1u);  // into the stored segment
  EXPECT_EQ(byte, content[600]);
  EXPECT_EQ(s->ReadAt(&byte, 1, 42), 1u);
  EXPECT_EQ(byte, content[42]);
  EXPECT_EQ(s->Tell(), 43);
}

TEST(Xp3File, CompressedSegmentGivesTheSameBytesForAnyReadPattern) {
  const Bytes content = PatternData(100000, 3);
  for (SegmentKind kind : {SegmentKind::kZlib, SegmentKind::kZstd}) {
    ArchiveBuilder b;
    b.AddEntry(u"c", content, {{kind, content.size()}});
    OpenedArchive a(b.Build());
    auto s = a.Open("c");
    EXPECT_EQ(ReadAll(s.get(), 1), content);
    ASSERT_TRUE(s->Seek(0, Begin));
    EXPECT_EQ(ReadAll(s.get(), 1 << 20), content);
    ASSERT_TRUE(s->Seek(50000, Begin));
    Bytes middle(1000);
    ASSERT_EQ(s->Read(middle.data(), 1000), 1000u);
    EXPECT_EQ(middle, Slice(content, 50000, 1000));
    // Forward within the held segment, then backwards (streamed segments,
    // whose decoder skips a gap, have tests of their own below).
    ASSERT_TRUE(s->Seek(7000, Current));
    ASSERT_EQ(s->Read(middle.data(), 1000), 1000u);
    EXPECT_EQ(middle, Slice(content, 58000, 1000));
    ASSERT_TRUE(s->Seek(-30000, Current));
    ASSERT_EQ(s->Read(middle.data(), 1000), 1000u);
    EXPECT_EQ(middle, Slice(content, 29000, 1000));
    EXPECT_TRUE(s->Close());  // drops the decoder; reading goes on from the position
    ASSERT_EQ(s->Read(middle.data(), 1000), 1000u);
    EXPECT_EQ(middle, Slice(content, 30000, 1000));
    EXPECT_FALSE(s->HasError());
  }
}

TEST(Xp3File, RandomReadsAndSeeksMatchTheContent) {
  const Bytes content = PatternData(200000, 4);
  ArchiveBuilder b;
  b.AddEntry(u"mixed", content,
             {{SegmentKind::kZlib, 30000},
              {SegmentKind::kStored, 1},
              {SegmentKind::kZstd, 50000},
              {SegmentKind::kStored, 0},
              {SegmentKind::kZlib, 0},
              {SegmentKind::kStored, 40000},
              {SegmentKind::kZstd, 78999},
              {SegmentKind::kZlib, 1000}});
  OpenedArchive a(b.Build());
  ASSERT_TRUE(a.parsed());
  auto s = a.Open("mixed");
  std::mt19937 rng(20240229);
  int64_t model = 0;
  const int64_t size = static_cast<int64_t>(content.size());
  Bytes buf;
  for (int op = 0; op < 1500; ++op) {
    switch (rng() % 4) {
      case 0: {  // seek from any origin, sometimes out of range
        const SeekOrigin origin = static_cast<SeekOrigin>(rng() % 3);
        const int64_t base = origin == Begin ? 0 : origin == Current ? model : size;
        const int64_t target = static_cast<int64_t>(rng() % (content.size() + 200)) - 100;
        const bool ok = s->Seek(target - base, origin);
        ASSERT_EQ(ok, target >= 0 && target <= size) << "op " << op;
        if (ok) model = target;
        break;
      }
      case 1: {  // a short forward hop, the pattern of a parser skipping fields
        const int64_t hop = rng() % 3000;
        if (model + hop <= size) {
          ASSERT_TRUE(s->Seek(hop, Current));
          model += hop;
        }
        break;
      }
      default: {
        const uint32_t want = 1 + rng() % (rng() % 2 ? 64 : 40000);
        buf.resize(want);
        const bool exact = rng() % 2 == 0;
        if (exact) {
          const bool fits = model + want <= size;
          ASSERT_EQ(s->ReadExact(buf.data(), want), fits) << "op " << op;
          if (!fits) {
            ASSERT_TRUE(s->Seek(model, Begin));  // position after a short ReadExact is the end
            break;
          }
          ASSERT_EQ(buf, Slice(content, model, want)) << "op " << op;
          model += want;
        } else {
          const uint32_t got = s->Read(buf.data(), want);
          if (model < size) {
            ASSERT_GT(got, 0u) << "op " << op;
          }
          ASSERT_LE(model + got, size);
          ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, content.begin() + model))
              << "op " << op;
          model += got;
        }
      }
    }
    ASSERT_EQ(s->Tell(), model);
    ASSERT_EQ(s->IsEof(), model >= size);
  }
  EXPECT_FALSE(s->HasError());
}

// An index whose layout of an entry does not add up cannot say which bytes
// are the entry's: reading it is a read error, whatever part looks intact.
TEST(Xp3File, EntriesLaidOutInconsistentlyReadAsCorrupt) {
  const Bytes content = PatternData(30, 5);
  const Bytes neighbour = PatternData(40, 6);
  ArchiveBuilder b;
  const uint64_t at = b.AddData(content);
  b.AddData(neighbour);
  auto entry = [&](const std::u16string& name, uint64_t size, std::vector<Xp3Segment> segments) {
    b.AddIndexChunk(Chunk("File", Concat({Chunk("info", InfoBody(0, size, 0, name)),
                                          Chunk("segm", SegmBody(segments))})));
  };
  // Declares 50 bytes but its segments hold 30.
  entry(u"short", 50, {{0, at, 20, 20}, {0, at + 20, 10, 10}});
  // Declares 20 bytes but its segments hold 30: the rest is not its own.
  entry(u"long", 20, {{0, at, 20, 20}, {0, at + 20, 10, 10}});
  // Stored bytes that run on into the neighbour's.
  entry(u"overrun", 30, {{0, at, 30, 70}});
  // Stored bytes fewer than they stand for.
  entry(u"underrun", 30, {{0, at, 30, 20}});
  // A size beyond what positions can reach.
  entry(u"huge", 1ull << 63, {{0, at, 1ull << 63, 1ull << 63}});
  // Declares bytes but has no segment at all.
  b.AddIndexChunk(Chunk("File", Chunk("info", InfoBody(0, 10, 0, u"none"))));
  // Has nothing and declares nothing.
  b.AddIndexChunk(Chunk("File", Chunk("info", InfoBody(0, 0, 0, u"empty"))));
  OpenedArchive a(b.Build());
  ASSERT_TRUE(a.parsed());
  uint8_t buf[128];

  for (const char* name : {"short", "long", "overrun", "underrun", "huge", "none"}) {
    auto s = a.Open(name);
    EXPECT_FALSE(s->HasError()) << name;  // opening reads nothing yet
    for (uint32_t step : {1u, 7u, 128u}) {
      ASSERT_TRUE(s->Seek(0, Begin));
      EXPECT_EQ(s->Read(buf, step), 0u) << name << ", reads of " << step;
      EXPECT_EQ(s->Tell(), 0) << name;
    }
    ASSERT_TRUE(s->Seek(5, Begin));
    EXPECT_EQ(s->Read(buf, 64), 0u) << name;
    EXPECT_TRUE(s->HasError()) << name;
  }

  // The neighbour is untouched by all that.
  auto empty = a.Open("empty");
  EXPECT_EQ(empty->Read(buf, 64), 0u);
  EXPECT_TRUE(empty->IsEof());
  EXPECT_FALSE(empty->HasError());
}

TEST(Xp3File, PositionsStayWithinInt64) {
  ArchiveBuilder b;
  const uint64_t at = b.AddData(PatternData(10, 1));
  b.AddIndexChunk(Chunk("File", Concat({Chunk("info", InfoBody(0, ~0ull, 0, u"huge")),
                                        Chunk("segm", SegmBody({{0, at, ~0ull, ~0ull}}))})));
  OpenedArchive a(b.Build());
  auto s = a.Open("huge");
  EXPECT_FALSE(s->Seek(0, End));
  EXPECT_FALSE(s->Seek(-1, End));  // 2^64 - 2
  EXPECT_TRUE(s->Seek(INT64_MAX, Begin));
  EXPECT_EQ(s->Tell(), INT64_MAX);
  EXPECT_FALSE(s->Seek(1, Current));
  EXPECT_EQ(s->Tell(), INT64_MAX);
  uint8_t byte;
  EXPECT_EQ(s->Read(&byte, 1), 0u);
  EXPECT_EQ(s->Tell(), INT64_MAX);
  EXPECT_TRUE(s->HasError());
}

TEST(Xp3File, EmptySegmentsNeverServeBytes) {
  // A segment of unpacked size 0 starts where the next one does; whatever
  // packed bytes it names must not be mistaken for the next segment's.
  const Bytes content = PatternData(20, 6);
  ArchiveBuilder b;
  const uint64_t first = b.AddData(Slice(content, 0, 10));
  const uint64_t junk = b.AddData(Bytes(5, 0xEE));
  const uint64_t second = b.AddData(Slice(content, 10, 10));
  b.AddIndexChunk(Chunk("File", Concat({Chunk("info", InfoBody(0, 20, 25, u"gaps")),
                                        Chunk("segm", SegmBody({{0, first, 10, 10},
                                                                {0, junk, 0, 5},
                                                                {1, junk, 0, 5},
                                                                {0, second, 10, 10}}))})));
  OpenedArchive a(b.Build());
  auto s = a.Open("gaps");
  EXPECT_EQ(ReadAll(s.get(), 64), content);
  ASSERT_TRUE(s->Seek(10, Begin));
  uint8_t byte = 0;
  ASSERT_EQ(s->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, content[10]);
}

TEST(Xp3File, SegmentsOutsideTheFileReadNothingAndDoNotPoisonTheArchive) {
  const Bytes content = PatternData(100, 7);
  ArchiveBuilder b;
  b.AddEntry(u"good", content, {{SegmentKind::kStored, 100}});
  b.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(0, 100, 100, u"wild")),
                            Chunk("segm", SegmBody({{0, ~0ull - 10, 50, 50},
                                                    {1, (1ull << 63) - 20, 50, 50}}))})));
  b.AddIndexChunk(
      Chunk("File",
            Concat({Chunk("info", InfoBody(0, 100, 100, u"past")),
                    Chunk("segm", SegmBody({{0, 1ull << 40, 50, 50}, {1, 1ull << 40, 50, 50}}))})));
  OpenedArchive a(b.Build());
  uint8_t buf[64];
  for (const char* key : {"wild", "past"}) {
    auto s = a.Open(key);
    EXPECT_EQ(s->Read(buf, 64), 0u) << key;
    ASSERT_TRUE(s->Seek(60, Begin));
    EXPECT_EQ(s->Read(buf, 64), 0u) << key;
  }
  auto good = a.Open("good");
  EXPECT_EQ(ReadAll(good.get(), 64), content);
  EXPECT_FALSE(good->HasError());
}

TEST(Xp3File, CorruptCompressedSegmentReportsAnErrorOnItsOwnStream) {
  const Bytes content = PatternData(50000, 8);
  ArchiveBuilder b;
  Bytes packed = ZlibCompress(content);
  for (size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) packed[i] ^= 0x3C;
  const uint64_t at = b.AddData(packed);
  b.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(0, 50000, packed.size(), u"bad")),
                            Chunk("segm", SegmBody({{1, at, 50000, packed.size()}}))})));
  b.AddEntry(u"fine", content, {{SegmentKind::kZstd, 50000}});
  OpenedArchive a(b.Build());
  auto bad = a.Open("bad");
  auto fine = a.Open("fine");
  const Bytes got = ReadAll(bad.get(), 4096);
  EXPECT_LT(got.size(), content.size());
  EXPECT_TRUE(bad->HasError());
  EXPECT_EQ(ReadAll(fine.get(), 4096), content);
  EXPECT_FALSE(fine->HasError());
}

// Segments above the whole-decode limit are streamed through a decoder kept
// between reads. One entry holds two of them (zlib, then zstd), a stored
// segment between them and small compressed and stored ones after them.
struct StreamedLayout {
  Bytes content;
  std::vector<SegmentKind> kinds;
  std::vector<Bytes> packed;
  std::vector<uint64_t> starts;  // entry positions of the segments, and the size last
};

const StreamedLayout& Streamed() {
  static const StreamedLayout layout = [] {
    const size_t big = Xp3File::kMaxBufferedSegment + 4097;
    const std::vector<std::pair<SegmentKind, size_t>> plan = {{SegmentKind::kZlib, big},
                                                              {SegmentKind::kStored, 5000},
                                                              {SegmentKind::kZstd, big + 3},
                                                              {SegmentKind::kZlib, 4000},
                                                              {SegmentKind::kStored, 3000}};
    StreamedLayout l;
    for (const auto& [kind, size] : plan) {
      l.starts.push_back(l.content.size());
      const Bytes part = PatternData(size, static_cast<uint32_t>(l.starts.size() + 60));
      l.content.insert(l.content.end(), part.begin(), part.end());
      l.kinds.push_back(kind);
      l.packed.push_back(kind == SegmentKind::kZlib   ? ZlibCompress(part)
                         : kind == SegmentKind::kZstd ? ZstdCompress(part)
                                                      : part);
    }
    l.starts.push_back(l.content.size());
    return l;
  }();
  return layout;
}

// The archive of the layout, with segment `damaged` (if any) replaced.
Bytes StreamedArchive(size_t damaged = SIZE_MAX, const Bytes& replacement = {}) {
  const StreamedLayout& l = Streamed();
  ArchiveBuilder b;
  std::vector<Xp3Segment> segments;
  uint64_t packed_total = 0;
  for (size_t i = 0; i < l.kinds.size(); ++i) {
    const Bytes& data = i == damaged ? replacement : l.packed[i];
    segments.push_back({l.kinds[i] == SegmentKind::kStored ? 0u : 1u, b.AddData(data),
                        l.starts[i + 1] - l.starts[i], data.size()});
    packed_total += data.size();
  }
  b.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(0, l.content.size(), packed_total, u"streamed")),
                            Chunk("segm", SegmBody(segments))})));
  return b.Build();
}

// Reads `count` bytes at `at` with ReadExact and compares them.
void ExpectBytesAt(ReadStream* s, uint64_t at, size_t count, const char* how) {
  const Bytes& content = Streamed().content;
  Bytes got(count);
  ASSERT_TRUE(s->ReadExact(got.data(), static_cast<uint32_t>(count))) << how << " at " << at;
  EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin() + static_cast<ptrdiff_t>(at)))
      << how << " at " << at;
  EXPECT_EQ(s->Tell(), static_cast<int64_t>(at + count)) << how;
}

TEST(Xp3FileStreamed, SegmentsAboveTheWholeDecodeLimitReadWholeInAnySteps) {
  const StreamedLayout& l = Streamed();
  ASSERT_GT(l.starts[1], Xp3File::kMaxBufferedSegment);
  OpenedArchive a(StreamedArchive());
  ASSERT_TRUE(a.parsed());
  auto s = a.Open("streamed");
  for (uint32_t step : {1u << 20, 65537u}) {
    ASSERT_TRUE(s->Seek(0, Begin));
    EXPECT_TRUE(ReadAll(s.get(), step) == l.content) << "reads of " << step;
    EXPECT_FALSE(s->HasError());
    EXPECT_TRUE(s->IsEof());
  }
}

// To every segment boundary, forwards from inside the segment before it
// while its decoder is live, and backwards from the end; reads that cross
// each boundary; gaps skipped forwards within a streamed segment.
TEST(Xp3FileStreamed, SeeksToEveryBoundaryAndReadsAcrossIt) {
  const StreamedLayout& l = Streamed();
  OpenedArchive a(StreamedArchive());
  auto s = a.Open("streamed");
  const uint64_t size = l.content.size();
  for (size_t i = 1; i + 1 < l.starts.size(); ++i) {
    const uint64_t boundary = l.starts[i];
    // Forwards: a read inside the previous segment, then exactly to the
    // boundary, and a read there.
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(l.starts[i - 1] + 10), Begin));
    ExpectBytesAt(s.get(), l.starts[i - 1] + 10, 5, "inside the segment before");
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(boundary), Begin));
    ExpectBytesAt(s.get(), boundary, 3, "forwards to the boundary");
    // One byte short of it, forwards again, and across it.
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(l.starts[i - 1] + 1), Begin));
    ExpectBytesAt(s.get(), l.starts[i - 1] + 1, 1, "start of the segment before");
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(boundary - 2), Begin));
    ExpectBytesAt(s.get(), boundary - 2, 4, "across the boundary");
    // Backwards from the end.
    ASSERT_TRUE(s->Seek(0, End));
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(boundary), Begin));
    ExpectBytesAt(s.get(), boundary, 2, "backwards to the boundary");
    ASSERT_TRUE(s->Seek(-static_cast<int64_t>(size - boundary + 1), End));
    ExpectBytesAt(s.get(), boundary - 1, 2, "backwards across the boundary");
  }
  // Within a streamed segment: a live decoder skips the gap forwards, and
  // starts over backwards.
  for (size_t i : {size_t{0}, size_t{2}}) {
    const uint64_t start = l.starts[i];
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(start), Begin));
    ExpectBytesAt(s.get(), start, 1, "first byte");
    ASSERT_TRUE(s->Seek(1000000, Current));
    ExpectBytesAt(s.get(), start + 1000001, 100, "after a gap");
    ASSERT_TRUE(s->Seek(-500000, Current));
    ExpectBytesAt(s.get(), start + 500101, 100, "back within the segment");
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(l.starts[i + 1] - 7), Begin));
    ExpectBytesAt(s.get(), l.starts[i + 1] - 7, 7, "the segment's last bytes");
    // The end of the entry keeps nothing broken behind it.
    ASSERT_TRUE(s->Seek(0, End));
    EXPECT_TRUE(s->IsEof());
  }
  EXPECT_FALSE(s->HasError());
}

// Offsets of the blocks of a zstd frame written by ZstdCompress (a
// descriptor with a content size and no dictionary).
std::vector<size_t> ZstdBlocks(const Bytes& frame) {
  const uint8_t descriptor = frame[4];
  const bool single = (descriptor >> 5) & 1;
  const size_t content_sizes[] = {single ? 1u : 0u, 2, 4, 8};
  size_t at = 5 + (single ? 0 : 1) + content_sizes[descriptor >> 6];
  std::vector<size_t> blocks;
  for (;;) {
    blocks.push_back(at);
    const uint32_t header = frame[at] | (frame[at + 1] << 8) | (frame[at + 2] << 16);
    const uint32_t type = (header >> 1) & 3;
    at += 3 + (type == 1 ? 1 : header >> 3);
    if (header & 1) return blocks;
  }
}

// Damage at the start, in the middle and at the end of each streamed
// segment: bytes before it may have been delivered (a stream reveals damage
// only where it lies), the read that meets it fails with the error, and the
// segment's last bytes are never delivered. Delivered bytes are the entry's
// own, except behind damage inside zlib data, which may decode into wrong
// bytes that only the checksum at the end reveals (the documented limit of
// streamed segments).
TEST(Xp3FileStreamed, DamageAtTheStartMiddleOrEndOfAStreamedSegmentIsAnError) {
  const StreamedLayout& l = Streamed();
  for (size_t segment : {size_t{0}, size_t{2}}) {
    const Bytes& sound = l.packed[segment];
    const bool zstd = l.kinds[segment] == SegmentKind::kZstd;
    struct Damage {
      const char* where;
      Bytes data;
    };
    std::vector<Damage> damages;
    Bytes start = sound;
    Bytes middle = sound;
    Bytes end = sound;
    if (zstd) {
      const std::vector<size_t> blocks = ZstdBlocks(sound);
      ASSERT_GT(blocks.size(), 4u);
      start[4] |= 0x08;                        // a reserved bit of the frame header
      middle[blocks[blocks.size() / 2]] |= 6;  // a reserved block type
      end[blocks.back()] |= 6;
    } else {
      start[1] ^= 0x01;  // the header check
      for (size_t i = middle.size() / 2; i < middle.size() / 2 + 16; ++i) middle[i] ^= 0x3C;
      end.back() ^= 0xFF;  // the checksum
    }
    damages.push_back({"start", start});
    damages.push_back({"middle", middle});
    damages.push_back({"end", end});
    for (const Damage& damage : damages) {
      SCOPED_TRACE(testing::Message()
                   << "segment " << segment << ", damage at the " << damage.where);
      OpenedArchive a(StreamedArchive(segment, damage.data));
      auto s = a.Open("streamed");
      ASSERT_TRUE(s->Seek(static_cast<int64_t>(l.starts[segment]), Begin));
      Bytes buf(1 << 20);
      uint64_t at = l.starts[segment];
      for (uint32_t got; (got = s->Read(buf.data(), static_cast<uint32_t>(buf.size()))) > 0;) {
        // A read that stops short of both the request and the segment's end
        // met the damage: the error is reported at once, before any other
        // read.
        if (got < std::min<uint64_t>(buf.size(), l.starts[segment + 1] - at)) {
          EXPECT_TRUE(s->HasError()) << "a short read at " << at;
        }
        if (zstd || std::string(damage.where) != "middle") {
          ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got,
                                 l.content.begin() + static_cast<ptrdiff_t>(at)))
              << "at " << at;
        }
        at += got;
        ASSERT_LT(at, l.starts[segment + 1]) << "the segment's last bytes were delivered";
      }
      EXPECT_TRUE(s->HasError());
      EXPECT_EQ(s->Tell(), static_cast<int64_t>(at));
      if (std::string(damage.where) == "start") {
        EXPECT_EQ(at, l.starts[segment]);
      }
      // A seek behind the damage and reads from there fail too, before
      // the segment's end.
      auto again = a.Open("streamed");
      ASSERT_TRUE(again->Seek(static_cast<int64_t>(l.starts[segment + 1] - 3), Begin));
      EXPECT_LT(ReadAll(again.get(), 1).size(), 3u);
      EXPECT_TRUE(again->HasError());
    }
  }
}

// A streamed segment whose data stops right after its last content bytes,
// before the end of its stream (the zlib checksum cut off, or part of it),
// never ended cleanly: its last bytes are not delivered, as for a segment
// decoded whole.
TEST(Xp3FileStreamed, DataCutBeforeTheEndOfItsStreamIsAnError) {
  const StreamedLayout& l = Streamed();
  const Bytes& sound = l.packed[0];
  for (size_t cut : {size_t{4}, size_t{1}}) {
    SCOPED_TRACE(testing::Message() << cut << " bytes cut");
    OpenedArchive a(StreamedArchive(0, Bytes(sound.begin(), sound.end() - cut)));
    auto s = a.Open("streamed");
    const Bytes got = ReadAll(s.get(), 1 << 20);
    EXPECT_LT(got.size(), l.starts[1]);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), l.content.begin()));
    EXPECT_TRUE(s->HasError());
  }
}

// A streamed segment whose data decodes to more than its declared size,
// even by one byte, is corrupt: its last declared bytes are not delivered.
TEST(Xp3FileStreamed, DataThatDecodesToMoreThanDeclaredIsAnError) {
  const StreamedLayout& l = Streamed();
  const Bytes part(l.content.begin(), l.content.begin() + static_cast<ptrdiff_t>(l.starts[1]));
  for (size_t more : {size_t{1}, size_t{100}}) {
    for (bool zstd : {false, true}) {
      SCOPED_TRACE(testing::Message() << more << " more, " << (zstd ? "zstd" : "zlib"));
      const Bytes longer = Concat({part, Bytes(more, 0x42)});
      OpenedArchive a(StreamedArchive(0, zstd ? ZstdCompress(longer) : ZlibCompress(longer)));
      auto s = a.Open("streamed");
      const Bytes got = ReadAll(s.get(), 1 << 20);
      EXPECT_LT(got.size(), l.starts[1]);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), l.content.begin()));
      EXPECT_TRUE(s->HasError());
    }
  }
}

// Every Read of a healthy entry gives min(request, rest of the segment),
// whatever the buffer in between holds: read-ahead blocks must not shorten
// a request, and no read may cross into the next segment.
TEST(Xp3File, EveryReadFillsUpToTheSegmentEndForAnyStep) {
  const Bytes content = PatternData(480000, 40);
  const std::vector<SegmentPlan> plan = {{SegmentKind::kStored, 200001},
                                         {SegmentKind::kZstd, 90000},
                                         {SegmentKind::kZlib, 65536},
                                         {SegmentKind::kStored, 100},
                                         {SegmentKind::kStored, 124363}};
  ArchiveBuilder b;
  b.AddEntry(u"steps", content, plan);
  OpenedArchive a(b.Build());
  auto s = a.Open("steps");
  std::vector<uint64_t> ends;
  uint64_t end = 0;
  for (const SegmentPlan& p : plan) ends.push_back(end += p.size);
  for (uint32_t step : {1u, 4095u, 4096u, 65535u, 65536u, 70000u}) {
    ASSERT_TRUE(s->Seek(0, Begin));
    Bytes buf(step);
    uint64_t at = 0;
    size_t segment = 0;
    while (at < content.size()) {
      while (at >= ends[segment]) ++segment;
      const uint64_t expected = std::min<uint64_t>(step, ends[segment] - at);
      ASSERT_EQ(s->Read(buf.data(), step), expected) << "step " << step << " at " << at;
      ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + expected, content.begin() + at))
          << "step " << step << " at " << at;
      at += expected;
    }
    EXPECT_EQ(s->Read(buf.data(), step), 0u);
  }
  EXPECT_FALSE(s->HasError());
}

TEST(Xp3File, SeeksIntoAndAroundBufferedDataGiveTheRightBytes) {
  const Bytes content = PatternData(300000, 41);
  ArchiveBuilder b;
  b.AddEntry(
      u"e", content,
      {{SegmentKind::kZstd, 100000}, {SegmentKind::kZlib, 100000}, {SegmentKind::kStored, 100000}});
  OpenedArchive a(b.Build());
  auto s = a.Open("e");
  Bytes buf(4096);
  auto read_at = [&](int64_t at, uint32_t count) {
    if (!s->Seek(at, Begin) || !s->ReadExact(buf.data(), count)) return false;
    return std::equal(buf.begin(), buf.begin() + count, content.begin() + at);
  };
  // The whole zstd segment gets buffered, then part of the zlib one.
  for (int64_t at = 0; at < 110000; at += 4096) ASSERT_TRUE(read_at(at, 4096)) << at;
  EXPECT_TRUE(read_at(104000, 100)) << "back within the buffered segment";
  EXPECT_TRUE(read_at(5000, 100)) << "back into a segment no longer buffered";
  EXPECT_TRUE(read_at(5100, 4096)) << "on from there";
  EXPECT_TRUE(read_at(99990, 20)) << "across a segment boundary";
  // Stored data: read ahead sequentially, then jump back and forth around
  // the read-ahead block's edges.
  for (int64_t at = 200000; at < 210000; at += 1000) ASSERT_TRUE(read_at(at, 1000)) << at;
  for (int64_t at : {200000 + 65535, 200000 + 65536, 209999, 200001, 299000, 266000}) {
    EXPECT_TRUE(read_at(at, 1000)) << at;
  }
  EXPECT_TRUE(s->Close());  // releases the buffers; reading goes on
  EXPECT_TRUE(read_at(150000, 4096));
  EXPECT_TRUE(read_at(299999, 1));
  EXPECT_FALSE(s->HasError());
}

// A compressed segment whose data does not decode cleanly to exactly its
// declared size is corrupt: whether read in one request or in small ones,
// from its start or from its middle, none of it is delivered.
TEST(Xp3File, SegmentsThatDoNotDecodeToTheirDeclaredSizeReadAsCorrupt) {
  const Bytes content = PatternData(300000, 42);
  struct Case {
    const char* name;
    Bytes packed;
    uint64_t declared;
  };
  std::vector<Case> cases;
  for (bool zstd : {false, true}) {
    const Bytes packed = zstd ? ZstdCompress(content) : ZlibCompress(content);
    cases.push_back({"corrupt", zstd ? CorruptZstd(packed) : CorruptZlib(packed), content.size()});
    cases.push_back({"truncated", Bytes(packed.begin(), packed.end() - 40), content.size()});
    cases.push_back({"longer than declared", packed, content.size() - 1000});
    cases.push_back({"shorter than declared", packed, content.size() + 1000});
  }
  Bytes zlib_bad_check = ZlibCompress(content);
  zlib_bad_check.back() ^= 1;
  cases.push_back({"bad checksum", zlib_bad_check, content.size()});
  for (const Case& c : cases) {
    ArchiveBuilder b;
    const uint64_t at = b.AddData(c.packed);
    b.AddData(PatternData(2000, 43));  // bytes that are not the entry's
    b.AddIndexChunk(
        Chunk("File", Concat({Chunk("info", InfoBody(0, c.declared, c.packed.size(), u"bad")),
                              Chunk("segm", SegmBody({{1, at, c.declared, c.packed.size()}}))})));
    for (uint32_t step : {400000u, 4096u, 1u}) {
      for (int64_t from : {0, 150000}) {
        OpenedArchive a(b.Build());
        auto s = a.Open("bad");
        ASSERT_TRUE(s->Seek(from, Begin));
        EXPECT_TRUE(ReadAll(s.get(), step).empty()) << c.name << ", reads of " << step;
        EXPECT_TRUE(s->HasError()) << c.name;
        EXPECT_EQ(s->Tell(), from) << c.name;
        // Seeking elsewhere does not make the damage go away.
        ASSERT_TRUE(s->Seek(from == 0 ? 10 : 0, Begin));
        uint8_t byte;
        EXPECT_EQ(s->Read(&byte, 1), 0u) << c.name;
      }
    }
  }
}

// A compressed segment's packed size may be declared far beyond the file:
// its data is read only as far as sound data can reach, and the segment is
// checked whole all the same.
TEST(Xp3File, CompressedSegmentsWithAHugePackedSizeAreStillChecked) {
  const Bytes content = PatternData(50000, 46);
  for (bool corrupt : {false, true}) {
    for (Bytes (*compress)(const Bytes&) : {ZlibCompress, ZstdCompress}) {
      Bytes packed = compress(content);
      if (corrupt) packed.back() ^= 0x55;  // the checksum (zstd: the last block)
      ArchiveBuilder b;
      const uint64_t at = b.AddData(packed);
      b.AddData(PatternData(100000, 47));
      b.AddIndexChunk(
          Chunk("File", Concat({Chunk("info", InfoBody(0, content.size(), 0, u"far")),
                                Chunk("segm", SegmBody({{1, at, content.size(), 1ull << 40}}))})));
      OpenedArchive a(b.Build());
      auto s = a.Open("far");
      EXPECT_EQ(ReadAll(s.get(), 4096), corrupt ? Bytes() : content);
      EXPECT_EQ(s->HasError(), corrupt);
    }
  }
}

// A stored segment of another entry, or the index itself, lies right after
// an entry's bytes: no request size may reach into it.
TEST(Xp3File, StoredReadsNeverPassTheEntry) {
  const Bytes content = PatternData(100, 44);
  ArchiveBuilder b;
  b.AddEntry(u"a", content, {{SegmentKind::kStored, 60}, {SegmentKind::kStored, 40}});
  b.AddEntry(u"b", PatternData(100, 45), {{SegmentKind::kStored, 100}});
  OpenedArchive a(b.Build());
  for (uint32_t step : {1u, 33u, 100u, 101u, 100000u}) {
    auto s = a.Open("a");
    EXPECT_EQ(ReadAll(s.get(), step), content) << step;
    ASSERT_TRUE(s->Seek(90, Begin));
    EXPECT_EQ(ReadAll(s.get(), step), Slice(content, 90, 10)) << step;
    EXPECT_FALSE(s->HasError());
  }
}

TEST(Xp3File, UnlockedArchiveServesEntriesToo) {
  const Bytes content = PatternData(5000, 9);
  ArchiveBuilder b;
  b.AddEntry(u"u", content, {{SegmentKind::kZstd, 3000}, {SegmentKind::kStored, 2000}});
  OpenedArchive a(b.Build(), false);
  auto s = a.Open("u");
  EXPECT_EQ(ReadAll(s.get(), 333), content);
}

TEST(Xp3File, EntriesOfOneArchiveReadConcurrentlyFromSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<Bytes> contents;
  ArchiveBuilder b;
  for (int t = 0; t < kThreads; ++t) {
    contents.push_back(PatternData(60000 + t * 1000, 100 + t));
    b.AddEntry(u"t" + std::u16string(1, static_cast<char16_t>(u'0' + t)), contents.back(),
               {{SegmentKind::kZlib, 20000},
                {SegmentKind::kStored, 20000},
                {SegmentKind::kZstd, 20000 + static_cast<size_t>(t) * 1000}});
  }
  OpenedArchive a(b.Build());
  ASSERT_TRUE(a.parsed());
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Bytes& content = contents[t];
      const std::unique_ptr<ReadStream> s(
          a.archive().OpenEntry(a.archive().entries()[static_cast<size_t>(t)]));
      std::mt19937 rng(t);
      Bytes buf(5000);
      for (int i = 0; i < 60; ++i) {
        const size_t at = rng() % (content.size() - buf.size());
        const uint32_t want = 1 + rng() % 5000;
        if (!s->Seek(static_cast<int64_t>(at), Begin) || !s->ReadExact(buf.data(), want) ||
            !std::equal(buf.begin(), buf.begin() + want, content.begin() + at)) {
          ++mismatches;
        }
      }
      if (s->HasError()) ++mismatches;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
