#include "archive/segment_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "archive/buffer_pool.h"
#include "archive/decoder_pool.h"

namespace {

SegmentKey Key(uint64_t offset, uint64_t size = 100, uint64_t archive = 1) {
  return SegmentKey{archive, offset, size / 2, size};
}

uint8_t PatternByte(uint64_t offset, size_t i) { return static_cast<uint8_t>(offset * 31 + i * 7); }

// A decode that writes a pattern derived from the key's offset and counts
// its calls; `fail` makes it report a corrupt segment after writing.
struct FakeDecode {
  uint64_t offset = 0;
  bool fail = false;
  std::chrono::milliseconds delay{0};
  std::atomic<int>* calls = nullptr;

  static bool Run(void* context, uint8_t* out, size_t size) {
    auto* self = static_cast<FakeDecode*>(context);
    if (self->calls != nullptr) self->calls->fetch_add(1);
    if (self->delay.count() > 0) std::this_thread::sleep_for(self->delay);
    for (size_t i = 0; i < size; ++i) out[i] = PatternByte(self->offset, i);
    return !self->fail;
  }
};

SegmentCache::Segment Get(SegmentCache& cache, uint64_t offset, std::atomic<int>* calls,
                          bool fail = false, uint64_t size = 100) {
  FakeDecode decode{offset, fail, std::chrono::milliseconds(0), calls};
  return cache.Get(Key(offset, size), &FakeDecode::Run, &decode);
}

bool HasPattern(const SegmentCache::Segment& segment, uint64_t offset, size_t size) {
  if (segment == nullptr || segment->size() != size) return false;
  for (size_t i = 0; i < size; ++i) {
    if (segment->data()[i] != PatternByte(offset, i)) return false;
  }
  return true;
}

TEST(SegmentCacheTest, DecodesASegmentOnceAndSharesIt) {
  SegmentCache cache(1000);
  std::atomic<int> calls{0};
  SegmentCache::Segment first = Get(cache, 0, &calls);
  SegmentCache::Segment second = Get(cache, 0, &calls);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(HasPattern(first, 0, 100));
  EXPECT_EQ(cache.Find(Key(0)), first);
  // Another archive's segment at the same place is another segment.
  EXPECT_EQ(cache.Find(Key(0, 100, 2)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 100u);
}

TEST(SegmentCacheTest, AFailedDecodeIsNeverKept) {
  SegmentCache cache(1000);
  std::atomic<int> calls{0};
  EXPECT_EQ(Get(cache, 0, &calls, /*fail=*/true), nullptr);
  EXPECT_EQ(cache.Find(Key(0)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 0u);
  // The next reader decodes again, and a clean decode is then kept.
  EXPECT_TRUE(HasPattern(Get(cache, 0, &calls), 0, 100));
  EXPECT_EQ(calls.load(), 2);
  EXPECT_NE(cache.Find(Key(0)), nullptr);
}

TEST(SegmentCacheTest, EvictsLeastRecentlyUsedWithinTheBudget) {
  SegmentCache cache(300);
  std::atomic<int> calls{0};
  SegmentCache::Segment held = Get(cache, 0, &calls);
  Get(cache, 1, &calls);
  Get(cache, 2, &calls);
  Get(cache, 0, &calls);  // 0 is now the most recently used
  Get(cache, 3, &calls);  // evicts 1
  EXPECT_EQ(calls.load(), 4);
  EXPECT_NE(cache.Find(Key(0)), nullptr);
  EXPECT_EQ(cache.Find(Key(1)), nullptr);
  EXPECT_NE(cache.Find(Key(2)), nullptr);
  EXPECT_NE(cache.Find(Key(3)), nullptr);
  EXPECT_LE(cache.GetStats().bytes, 300u);
  // Filling the cache with others evicts 0 too, yet its holder keeps it.
  for (uint64_t offset = 10; offset < 14; ++offset) Get(cache, offset, &calls);
  EXPECT_EQ(cache.Find(Key(0)), nullptr);
  EXPECT_TRUE(HasPattern(held, 0, 100));
  EXPECT_EQ(cache.GetStats().bytes, 300u);
  EXPECT_EQ(cache.GetStats().segments, 3u);
}

TEST(SegmentCacheTest, ASegmentLargerThanTheBudgetIsServedButNotKept) {
  SegmentCache cache(150);
  std::atomic<int> calls{0};
  Get(cache, 0, &calls);
  EXPECT_TRUE(HasPattern(Get(cache, 1, &calls, false, 200), 1, 200));
  EXPECT_EQ(cache.Find(Key(1, 200)), nullptr);
  EXPECT_NE(cache.Find(Key(0)), nullptr);  // not evicted for nothing

  SegmentCache nothing(0);
  EXPECT_TRUE(HasPattern(Get(nothing, 0, &calls), 0, 100));
  EXPECT_EQ(nothing.GetStats().segments, 0u);

  // A smaller budget evicts at once; a larger one keeps more from then on.
  cache.SetBudget(50);
  EXPECT_EQ(cache.GetStats().bytes, 0u);
  cache.SetBudget(250);
  Get(cache, 2, &calls);
  Get(cache, 3, &calls);
  EXPECT_EQ(cache.GetStats().segments, 2u);
}

TEST(SegmentCacheTest, DroppingAnArchiveForgetsOnlyItsSegments) {
  SegmentCache cache(1000);
  FakeDecode decode{0};
  cache.Get(Key(0, 100, 1), &FakeDecode::Run, &decode);
  cache.Get(Key(0, 100, 2), &FakeDecode::Run, &decode);
  cache.DropArchive(1);
  EXPECT_EQ(cache.Find(Key(0, 100, 1)), nullptr);
  EXPECT_NE(cache.Find(Key(0, 100, 2)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 100u);
  EXPECT_NE(SegmentCache::NewArchiveId(), SegmentCache::NewArchiveId());
}

TEST(SegmentCacheTest, ReadersOfOneMissingSegmentWaitForOneDecode) {
  SegmentCache cache(1000);
  std::atomic<int> calls{0};
  FakeDecode slow{5, false, std::chrono::milliseconds(50), &calls};
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      if (HasPattern(cache.Get(Key(5), &FakeDecode::Run, &slow), 5, 100)) ++good;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 6);
  EXPECT_EQ(calls.load(), 1);
}

TEST(SegmentCacheTest, ReadersWaitingForAFailingDecodeGetNoData) {
  SegmentCache cache(1000);
  std::atomic<int> calls{0};
  FakeDecode corrupt{5, true, std::chrono::milliseconds(20), &calls};
  std::vector<std::thread> threads;
  std::atomic<int> got{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      if (cache.Get(Key(5), &FakeDecode::Run, &corrupt) != nullptr) ++got;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(got.load(), 0);
  EXPECT_GE(calls.load(), 1);
  EXPECT_EQ(cache.GetStats().segments, 0u);
}

TEST(SegmentCacheTest, ManyThreadsUnderATinyBudgetSeeOnlyRightBytes) {
  SegmentCache cache(400);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      uint64_t state = 12345 + t;
      for (int i = 0; i < 2000; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t offset = (state >> 33) % 16;
        // Some segments are corrupt; they must never come back as data.
        const bool corrupt = offset == 7;
        SegmentCache::Segment segment = Get(cache, offset, nullptr, corrupt);
        if (corrupt ? segment != nullptr : !HasPattern(segment, offset, 100)) ++wrong;
        if (cache.GetStats().bytes > 400) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(cache.GetStats().evictions, 0u);
}

TEST(BufferPoolTest, ReusesBuffersWithinItsBounds) {
  BufferPool pool(1000);
  PooledBuffer buffer = pool.Take(300);
  ASSERT_NE(buffer.data, nullptr);
  EXPECT_GE(buffer.capacity, 300u);
  const uint8_t* address = buffer.data.get();
  pool.Give(std::move(buffer));
  EXPECT_EQ(pool.idle_bytes(), 300u);
  // A request it fits, not less than half its size, gets it back.
  PooledBuffer again = pool.Take(200);
  EXPECT_EQ(again.data.get(), address);
  EXPECT_EQ(pool.idle_bytes(), 0u);
  EXPECT_EQ(pool.allocated(), 1u);
  pool.Give(std::move(again));
  // Too small a request takes a buffer of its own.
  PooledBuffer small = pool.Take(100);
  EXPECT_EQ(pool.allocated(), 2u);
  EXPECT_EQ(pool.idle_bytes(), 300u);
  // Beyond the bound in bytes, the newest buffer given back replaces the
  // oldest; one larger than the bound is not kept at all.
  pool.Give(pool.Take(800));
  EXPECT_EQ(pool.idle_bytes(), 800u);
  pool.Give(pool.Take(1001));
  EXPECT_EQ(pool.idle_bytes(), 800u);
  EXPECT_EQ(pool.Take(700).capacity, 800u);
  EXPECT_EQ(pool.taken(), 6u);
  EXPECT_EQ(pool.allocated(), 4u);
}

TEST(DecoderPoolTest, KeepsABoundedNumberOfDecoders) {
  DecoderPool pool(2);
  WholeSegmentDecoder* a = pool.Take();
  WholeSegmentDecoder* b = pool.Take();
  WholeSegmentDecoder* c = pool.Take();
  ASSERT_NE(a, nullptr);
  pool.Give(a);
  pool.Give(b);
  pool.Give(c);  // freed
  EXPECT_EQ(pool.idle_count(), 2u);
  {
    PooledDecoder scoped(pool);
    EXPECT_TRUE(scoped.get() == a || scoped.get() == b);
    EXPECT_EQ(pool.idle_count(), 1u);
  }
  EXPECT_EQ(pool.idle_count(), 2u);
}

}  // namespace
