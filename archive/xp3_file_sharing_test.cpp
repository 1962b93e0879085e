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

TEST(Xp3FileSharing, ReopenedEntriesAndSecondHandlesDecodeEachSegmentOnce) {
  const Bytes content = PatternData(250000, 60);
  ArchiveBuilder b;
  b.AddEntry(u"e", content,
             {{SegmentKind::kZstd, 100000},
              {SegmentKind::kZlib, 100000},
              {SegmentKind::kStored, 10000},
              {SegmentKind::kZstd, 40000}});
  const size_t before = SegmentCache::Shared().GetStats().segments;
  {
    Parsed p(b.Build());
    ASSERT_TRUE(p.ok);
    const uint64_t misses = Misses();
    EXPECT_EQ(ReadAll(p.Open(0).get(), 4096), content);
    EXPECT_EQ(Misses() - misses, 3u);

    // Re-opened, and two handles read in turns: all from the cache.
    EXPECT_EQ(ReadAll(p.Open(0).get(), 65536), content);
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
    EXPECT_EQ(Misses() - misses, 3u);

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
    EXPECT_EQ(Misses() - misses, 3u);
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
    // Each round delivers what the streaming decoder delivers, and tries
    // the corrupt segment anew; only the good one comes from the cache.
    if (round == 0) first_time = got;
    EXPECT_EQ(got, first_time);
    EXPECT_EQ(Misses() - misses, round == 0 ? 2u : 1u);
  }
}

// Reads cut short while a segment is decoded make that decode fail; nothing
// of it may stay in the cache for the readers after.
TEST(Xp3FileSharing, ShortReadsWhileDecodingLeaveNothingCached) {
  const Bytes content = PatternData(200000, 63);
  ArchiveBuilder b;
  b.AddEntry(u"e", content, {{SegmentKind::kZstd, 120000}, {SegmentKind::kZlib, 80000}});
  Parsed p(b.Build());
  ASSERT_TRUE(p.ok);
  PositionedFile::SetReadFaultHook(
      [](uint32_t size) -> int64_t { return size > 1 ? size / 2 : 1; });
  const size_t segments = SegmentCache::Shared().GetStats().segments;
  {
    auto s = p.Open(0);
    const Bytes got = ReadAll(s.get(), 4096);
    ASSERT_LE(got.size(), content.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin()));
  }
  EXPECT_EQ(SegmentCache::Shared().GetStats().segments, segments);
  PositionedFile::SetReadFaultHook(nullptr);
  auto s = p.Open(0);
  EXPECT_EQ(ReadAll(s.get(), 50000), content);
  EXPECT_FALSE(s->HasError());
  EXPECT_EQ(SegmentCache::Shared().GetStats().segments, segments + 2);
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
