// Entry streams sharing decoded segments: through the process-wide cache
// (as Xp3Archive hands them out) and through a small cache of their own,
// from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "archive/file_read_stream.h"
#include "archive/segment_cache.h"
#include "archive/test_archive_builder.h"
#include "archive/xp3_archive.h"
#include "archive/xp3_file.h"
#include "platform/positioned_file.h"

namespace {

Bytes ReadAll(ReadStream* s, uint32_t step) {
  Bytes out;
  Bytes buf(step);
  for (uint32_t n; (n = s->Read(buf.data(), step)) > 0;) {
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  }
  return out;
}

struct Parsed {
  explicit Parsed(const Bytes& bytes) : file(bytes), archive(file.path(), true) {
    ok = archive.ParseIndex();
  }
  std::unique_ptr<ReadStream> Open(size_t index) {
    return std::unique_ptr<ReadStream>(archive.OpenEntry(archive.entries()[index]));
  }
  TempFile file;
  Xp3Archive archive;
  bool ok;
};

uint64_t Misses() { return SegmentCache::Shared().GetStats().misses; }
uint64_t Hits() { return SegmentCache::Shared().GetStats().hits; }

TEST(Xp3FileSharing, SegmentsReadAgainAreKeptAndSharedByLaterHandles) {
  const Bytes content = PatternData(250000, 60);
  ArchiveBuilder b;
  b.AddEntry(u"e", content,
             {{SegmentKind::kZstd, 100000},
              {SegmentKind::kZlib, 100000},
              {SegmentKind::kStored, 10000},
              {SegmentKind::kZstd, 40000}});
  const size_t before = SegmentCache::Shared().GetStats().segments;
  auto kept = [&] { return SegmentCache::Shared().GetStats().segments - before; };
  {
    Parsed p(b.Build());
    ASSERT_TRUE(p.ok);
    const uint64_t misses = Misses();
    // Read once: each compressed segment decoded once, none kept.
    EXPECT_EQ(ReadAll(p.Open(0).get(), 4096), content);
    EXPECT_EQ(Misses() - misses, 3u);
    EXPECT_EQ(kept(), 0u);
    // Read again: decoded once more, and kept.
    EXPECT_EQ(ReadAll(p.Open(0).get(), 65536), content);
    EXPECT_EQ(Misses() - misses, 6u);
    EXPECT_EQ(kept(), 3u);

    // Re-opened, and two handles read in turns: all from the cache.
    EXPECT_EQ(ReadAll(p.Open(0).get(), 1 << 20), content);
    auto first = p.Open(0);
    auto second = p.Open(0);
    Bytes a;
    Bytes c;
    Bytes buf(7000);
    for (uint32_t n; (n = first->Read(buf.data(), 7000)) > 0;) {
      a.insert(a.end(), buf.begin(), buf.begin() + n);
      n = second->Read(buf.data(), 7000);
      c.insert(c.end(), buf.begin(), buf.begin() + n);
    }
    EXPECT_EQ(a, content);
    EXPECT_EQ(ReadAll(second.get(), 3000), Bytes(content.begin() + c.size(), content.end()));
    EXPECT_EQ(Misses() - misses, 6u);

    // Seeking back inside the held segment is a copy: no decode, not even
    // a look into the cache.
    const uint64_t hits = Hits();
    ASSERT_TRUE(first->Seek(150000, Begin));
    ASSERT_EQ(first->Read(buf.data(), 100), 100u);
    for (int64_t at : {100000, 199000, 123456, 100001}) {
      ASSERT_TRUE(first->Seek(at, Begin));
      ASSERT_EQ(first->Read(buf.data(), 1000), 1000u);
      EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1000, content.begin() + at)) << at;
    }
    EXPECT_EQ(Hits() - hits, 1u);
    EXPECT_EQ(Misses() - misses, 6u);
    EXPECT_FALSE(first->HasError());
  }
  // The archive took its segments with it.
  EXPECT_EQ(SegmentCache::Shared().GetStats().segments, before);
}

TEST(Xp3FileSharing, ACorruptSegmentIsNeverServedFromTheCache) {
  const Bytes good = PatternData(60000, 61);
  const Bytes rest = PatternData(60000, 62);
  ArchiveBuilder b;
  const Bytes good_packed = ZstdCompress(good);
  const Bytes bad_packed = CorruptZlib(ZlibCompress(rest));
  const uint64_t good_at = b.AddData(good_packed);
  const uint64_t bad_at = b.AddData(bad_packed);
  b.AddIndexChunk(Chunk(
      "File",
      Concat({Chunk("info", InfoBody(0, 120000, good_packed.size() + bad_packed.size(), u"e")),
              Chunk("segm", SegmBody({{1, good_at, 60000, good_packed.size()},
                                      {1, bad_at, 60000, bad_packed.size()}}))})));
  Parsed p(b.Build());
  ASSERT_TRUE(p.ok);
  Bytes first_time;
  for (int round = 0; round < 3; ++round) {
    const uint64_t misses = Misses();
    auto s = p.Open(0);
    const Bytes got = ReadAll(s.get(), 4096);
    ASSERT_GE(got.size(), good.size());
    EXPECT_TRUE(std::equal(good.begin(), good.end(), got.begin()));
    EXPECT_TRUE(s->HasError());
    // Each round delivers the same and tries the corrupt segment anew; the
    // good one, read twice, comes from the cache from then on.
    if (round == 0) first_time = got;
    EXPECT_EQ(got, first_time);
    EXPECT_EQ(Misses() - misses, round == 2 ? 1u : 2u);
  }
}

// Reads cut short while a segment is decoded make that decode fail; nothing
// of it may stay in the cache for the readers after, even when it was read
// before and is decoded to be kept.
TEST(Xp3FileSharing, ShortReadsWhileDecodingLeaveNothingCached) {
  const Bytes content = PatternData(200000, 63);
  ArchiveBuilder b;
  b.AddEntry(u"e", content, {{SegmentKind::kZstd, 120000}, {SegmentKind::kZlib, 80000}});
  const size_t segments = SegmentCache::Shared().GetStats().segments;
  // Read whole for the first time (decoded into the caller's buffer), or
  // in parts after a first read (decoded to be kept).
  for (bool read_before : {false, true}) {
    Parsed p(b.Build());
    ASSERT_TRUE(p.ok);
    if (read_before) {
      EXPECT_EQ(ReadAll(p.Open(0).get(), 4096), content);
    }
    const uint64_t admissions = SegmentCache::Shared().GetStats().admissions;
    PositionedFile::SetReadFaultHook(
        [](uint32_t size) -> int64_t { return size > 1 ? size / 2 : 1; });
    {
      auto s = p.Open(0);
      const Bytes got = ReadAll(s.get(), read_before ? 4096 : 1 << 20);
      ASSERT_LE(got.size(), content.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin()));
    }
    PositionedFile::SetReadFaultHook(nullptr);
    EXPECT_EQ(SegmentCache::Shared().GetStats().segments, segments);
    EXPECT_EQ(SegmentCache::Shared().GetStats().admissions - admissions, read_before ? 1u : 0u);
    // Read whole since, twice: sound, and kept by the second read at last.
    for (int round = 0; round < 2; ++round) {
      auto s = p.Open(0);
      EXPECT_EQ(ReadAll(s.get(), 1 << 20), content);
      EXPECT_FALSE(s->HasError());
    }
    EXPECT_EQ(SegmentCache::Shared().GetStats().segments, segments + 2);
  }
}

// An archive read through streams of a cache and a pool of their own, so
// that what the streams decode, keep and give back can be seen.
struct OwnCache {
  explicit OwnCache(const Bytes& bytes, size_t budget = 1 << 20, size_t pool_bound = 1 << 20)
      : file(bytes),
        archive(file.path(), false),
        source(file.path()),
        pool(pool_bound),
        cache(budget, pool),
        id(SegmentCache::NewArchiveId()) {
    ok = archive.ParseIndex();
  }
  std::unique_ptr<Xp3File> Open(size_t index) {
    return std::make_unique<Xp3File>(archive.entries()[index], &source, true, id, &cache);
  }
  TempFile file;
  Xp3Archive archive;
  FileReadStream source;
  BufferPool pool;  // the buffers of decoded segments
  SegmentCache cache;
  uint64_t id;
  bool ok;
};

constexpr uint8_t kUntouched = 0xA5;

// Reads in requests of `step` bytes into a buffer twice as large, whose
// bytes past what each read delivers must stay untouched.
Bytes ReadAllChecked(ReadStream* s, uint32_t step, bool* spilled) {
  Bytes out;
  Bytes buf(2 * static_cast<size_t>(step));
  for (;;) {
    std::fill(buf.begin(), buf.end(), kUntouched);
    const uint32_t n = s->Read(buf.data(), step);
    if (n == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + n);
    if (std::any_of(buf.begin() + n, buf.end(), [](uint8_t b) { return b != kUntouched; })) {
      *spilled = true;
    }
  }
  return out;
}

TEST(Xp3FileSharing, WholeSegmentsReadOnceGoStraightIntoTheCallersBuffer) {
  const Bytes content = PatternData(150000, 64);
  for (SegmentKind kind : {SegmentKind::kStored, SegmentKind::kZlib, SegmentKind::kZstd}) {
    ArchiveBuilder b;
    b.AddEntry(u"e", content, {{kind, 100000}, {kind, 50000}});
    OwnCache own(b.Build());
    ASSERT_TRUE(own.ok);
    const bool compressed = kind != SegmentKind::kStored;
    for (int round = 0; round < 3; ++round) {
      auto s = own.Open(0);
      bool spilled = false;
      EXPECT_EQ(ReadAllChecked(s.get(), 1 << 20, &spilled), content) << round;
      EXPECT_FALSE(spilled) << round;
      EXPECT_FALSE(s->HasError());
      const SegmentCache::Stats stats = own.cache.GetStats();
      // The first read decodes into the caller's buffer alone; the second
      // decodes again into buffers the cache keeps; the third finds them.
      EXPECT_EQ(own.pool.taken(), compressed && round > 0 ? 2u : 0u) << round;
      EXPECT_EQ(stats.segments, compressed && round > 0 ? 2u : 0u) << round;
      EXPECT_EQ(stats.misses, compressed ? 2u * static_cast<unsigned>(std::min(round + 1, 2)) : 0u);
      EXPECT_EQ(stats.admissions, compressed && round > 0 ? 2u : 0u) << round;
      EXPECT_EQ(stats.hits, compressed && round == 2 ? 2u : 0u) << round;
    }
  }
}

// Damage found while a segment is decoded straight into the caller's
// buffer fails the read as it always did: no byte delivered, the stream in
// error, nothing cached, nothing written past the segment's declared size;
// and the same on the reads after, which decode it to keep it.
TEST(Xp3FileSharing, DamagedSegmentsReadWholeFailAndLeaveNothingCached) {
  const Bytes content = PatternData(300000, 65);  // three zstd blocks at least
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
  for (const Case& c : cases) {
    ArchiveBuilder b;
    const uint64_t at = b.AddData(c.packed);
    b.AddEntry(u"next", PatternData(1000, 66), {{SegmentKind::kStored, 1000}});
    b.AddIndexChunk(
        Chunk("File", Concat({Chunk("info", InfoBody(0, c.declared, c.packed.size(), u"bad")),
                              Chunk("segm", SegmBody({{1, at, c.declared, c.packed.size()}}))})));
    OwnCache own(b.Build());
    ASSERT_TRUE(own.ok);
    for (int round = 0; round < 3; ++round) {
      auto s = own.Open(1);
      Bytes buf(c.declared + 5000, kUntouched);
      EXPECT_EQ(s->Read(buf.data(), static_cast<uint32_t>(buf.size())), 0u) << c.name;
      EXPECT_TRUE(s->HasError()) << c.name;
      EXPECT_EQ(s->Tell(), 0) << c.name;
      EXPECT_TRUE(std::all_of(buf.begin() + static_cast<std::ptrdiff_t>(c.declared), buf.end(),
                              [](uint8_t b) { return b == kUntouched; }))
          << c.name << ", round " << round;
      EXPECT_EQ(s->Read(buf.data(), 1), 0u) << c.name;
      EXPECT_EQ(own.cache.GetStats().segments, 0u) << c.name;
    }
    EXPECT_EQ(own.cache.GetStats().admissions, 2u) << c.name;
  }
}

// A segment read in small requests is decoded once per stream and held by
// it; it is kept only when another stream decodes it again.
TEST(Xp3FileSharing, PartlyReadSegmentsAreDecodedOncePerStream) {
  const Bytes content = PatternData(100000, 67);
  ArchiveBuilder b;
  b.AddEntry(u"e", content, {{SegmentKind::kZstd, 100000}});
  OwnCache own(b.Build());
  ASSERT_TRUE(own.ok);
  Bytes buf(4096);
  for (int round = 0; round < 3; ++round) {
    auto s = own.Open(0);
    // A header, the rest in one request, and random small reads back in.
    ASSERT_EQ(s->Read(buf.data(), 16), 16u);
    Bytes rest(content.size());
    ASSERT_EQ(s->Read(rest.data(), static_cast<uint32_t>(rest.size())), content.size() - 16);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end() - 16, content.begin() + 16));
    std::mt19937 rng(static_cast<unsigned>(round));
    for (int i = 0; i < 50; ++i) {
      const size_t at = rng() % (content.size() - buf.size());
      ASSERT_TRUE(s->Seek(static_cast<int64_t>(at), Begin));
      ASSERT_EQ(s->Read(buf.data(), 4096), 4096u);
      ASSERT_TRUE(std::equal(buf.begin(), buf.end(), content.begin() + at)) << at;
    }
    const SegmentCache::Stats stats = own.cache.GetStats();
    EXPECT_EQ(stats.misses, round == 0 ? 1u : 2u) << round;
    EXPECT_EQ(stats.segments, round == 0 ? 0u : 1u) << round;
    EXPECT_EQ(stats.hits, round == 2 ? 1u : 0u) << round;
  }
}

// Whatever the streams do, the decoded segments the cache keeps stay
// within its budget and the idle buffers within the pool's bound, both
// counted in the buffers' real capacity, which the pool makes up to twice
// a segment's size.
TEST(Xp3FileSharing, KeptAndIdleBuffersStayWithinTheirBounds) {
  constexpr size_t kBudget = 200000;
  constexpr size_t kPoolBound = 150000;
  std::vector<Bytes> contents;
  ArchiveBuilder b;
  std::mt19937 sizes(68);
  for (int e = 0; e < 12; ++e) {
    const size_t first = 5000 + sizes() % 60000;
    const size_t second = 1000 + sizes() % 30000;
    contents.push_back(PatternData(first + second, 70 + static_cast<uint32_t>(e)));
    b.AddEntry(
        u"e" + std::u16string(1, static_cast<char16_t>(u'a' + e)), contents.back(),
        {{e % 2 ? SegmentKind::kZlib : SegmentKind::kZstd, first}, {SegmentKind::kZstd, second}});
  }
  OwnCache own(b.Build(), kBudget, kPoolBound);
  ASSERT_TRUE(own.ok);
  // Roomy idle buffers, as buffers of larger segments leave them.
  for (size_t size : {40000, 60000, 70000}) {
    own.pool.Give(PooledBuffer{std::make_unique<uint8_t[]>(size), size});
  }
  std::mt19937 rng(69);
  std::vector<std::unique_ptr<Xp3File>> held;
  for (int i = 0; i < 400; ++i) {
    const size_t e = rng() % contents.size();
    auto s = own.Open(e);
    const Bytes& content = contents[e];
    const uint32_t step = rng() % 3 == 0 ? 1u << 20 : 1 + rng() % 20000;
    const size_t at = rng() % 2 ? 0 : rng() % content.size();
    ASSERT_TRUE(s->Seek(static_cast<int64_t>(at), Begin));
    ASSERT_EQ(ReadAll(s.get(), step), Bytes(content.begin() + at, content.end())) << i;
    // Some streams stay open, holding what they read last.
    if (rng() % 4 == 0) held.push_back(std::move(s));
    if (held.size() > 6) held.erase(held.begin());
    const SegmentCache::Stats stats = own.cache.GetStats();
    ASSERT_LE(stats.bytes, kBudget) << i;
    ASSERT_LE(own.pool.idle_bytes(), kPoolBound) << i;
    size_t kept = 0;
    for (const Xp3Entry& entry : own.archive.entries()) {
      for (const Xp3Segment& seg : entry.segments) {
        const SegmentKey key{own.id, seg.offset, seg.packed_size, seg.unpacked_size};
        if (SegmentCache::Segment segment = own.cache.Find(key)) kept += segment->capacity();
      }
    }
    ASSERT_EQ(kept, stats.bytes) << i;
  }
  EXPECT_GT(own.cache.GetStats().evictions, 0u);
}

// Many threads open, seek, read and close the same and different entries
// of one archive through a cache far smaller than the entries, so that
// segments are evicted while other streams still hold them; every byte is
// checked, and a corrupt entry gives every reader exactly what a lone
// reader gets.
TEST(Xp3FileSharing, ManyThreadsOpenSeekReadAndCloseUnderATinyBudget) {
  std::vector<Bytes> contents;
  ArchiveBuilder b;
  const std::vector<std::vector<SegmentPlan>> plans = {
      {{SegmentKind::kZstd, 30000}, {SegmentKind::kZlib, 30000}, {SegmentKind::kZstd, 5000}},
      {{SegmentKind::kZlib, 50000}, {SegmentKind::kStored, 20000}},
      {{SegmentKind::kZstd, 64000}},
      {{SegmentKind::kStored, 3000}, {SegmentKind::kZstd, 40000}, {SegmentKind::kZlib, 1000}},
  };
  for (size_t e = 0; e < plans.size(); ++e) {
    size_t size = 0;
    for (const SegmentPlan& plan : plans[e]) size += plan.size;
    contents.push_back(PatternData(size, 70 + static_cast<uint32_t>(e)));
    b.AddEntry(u"e" + std::u16string(1, static_cast<char16_t>(u'0' + e)), contents.back(),
               plans[e]);
  }
  const Bytes corrupt_content = PatternData(50000, 79);
  const Bytes corrupt = CorruptZlib(ZlibCompress(corrupt_content));
  const uint64_t corrupt_at = b.AddData(corrupt);
  b.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(0, 50000, corrupt.size(), u"bad")),
                            Chunk("segm", SegmBody({{1, corrupt_at, 50000, corrupt.size()}}))})));
  TempFile file(b.Build());
  Xp3Archive archive(file.path(), false);
  ASSERT_TRUE(archive.ParseIndex());
  FileReadStream source(file.path());
  SegmentCache cache(100000);  // about two of the larger segments
  const uint64_t id = SegmentCache::NewArchiveId();
  const size_t bad = plans.size();
  Bytes lone;
  {
    Xp3File s(archive.entries()[bad], &source, true, id, &cache);
    lone = ReadAll(&s, 4096);
    ASSERT_TRUE(s.HasError());
  }

  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u);
      Bytes buf(70000);
      for (int i = 0; i < 60; ++i) {
        const size_t e = rng() % (plans.size() + 1);
        Xp3File s(archive.entries()[e], &source, true, id, &cache);
        if (e == bad) {
          if (ReadAll(&s, 4096) != lone || !s.HasError()) ++wrong;
          continue;
        }
        const Bytes& content = contents[e];
        for (int r = 0; r < 6; ++r) {
          const size_t at = rng() % content.size();
          const uint32_t want =
              static_cast<uint32_t>(std::min<size_t>(1 + rng() % 70000, content.size() - at));
          if (!s.Seek(static_cast<int64_t>(at), Begin) || !s.ReadExact(buf.data(), want) ||
              !std::equal(buf.begin(), buf.begin() + want, content.begin() + at)) {
            ++wrong;
          }
        }
        if (s.HasError() || cache.GetStats().bytes > 100000) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(cache.GetStats().evictions, 0u);
  EXPECT_GT(cache.GetStats().hits, 0u);
}

}  // namespace
