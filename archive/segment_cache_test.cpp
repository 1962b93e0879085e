#include "archive/segment_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "archive/buffer_pool.h"
#include "archive/decoder_pool.h"

namespace {

// A pool that keeps nothing idle: every buffer is exactly its segment's
// size, so the bytes a cache counts are the segments' sizes.
struct ExactPool : BufferPool {
  ExactPool() : BufferPool(0) {}
};

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
  ExactPool pool;
  SegmentCache cache(1000, pool);
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
  ExactPool pool;
  SegmentCache cache(1000, pool);
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
  ExactPool pool;
  SegmentCache cache(300, pool);
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
  ExactPool pool;
  SegmentCache cache(150, pool);
  std::atomic<int> calls{0};
  Get(cache, 0, &calls);
  EXPECT_TRUE(HasPattern(Get(cache, 1, &calls, false, 200), 1, 200));
  EXPECT_EQ(cache.Find(Key(1, 200)), nullptr);
  EXPECT_NE(cache.Find(Key(0)), nullptr);  // not evicted for nothing

  SegmentCache nothing(0, pool);
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
  ExactPool pool;
  SegmentCache cache(1000, pool);
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
  ExactPool pool;
  SegmentCache cache(1000, pool);
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
  ExactPool pool;
  SegmentCache cache(1000, pool);
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
  ExactPool pool;
  SegmentCache cache(400, pool);
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

TEST(SegmentCacheTest, LargeSegmentsDisplacingManySmallOnesUnderContention) {
  // Each large segment evicts more small ones than one hold of the lock
  // does, while other threads read, publish and evict around it.
  ExactPool pool;
  SegmentCache cache(20000, pool);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint64_t state = 777 + t;
      for (int i = 0; i < 1500; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const bool large = t == 0 && i % 50 == 0;
        const uint64_t offset = large ? 1000 + (state >> 33) % 3 : (state >> 33) % 300;
        const size_t size = large ? 15000 : 100;
        if (!HasPattern(Get(cache, offset, nullptr, false, size), offset, size)) ++wrong;
        if (cache.GetStats().bytes > 20000) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  const SegmentCache::Stats stats = cache.GetStats();
  EXPECT_GT(stats.evictions, 500u);
  EXPECT_LE(stats.bytes, 20000u);
}

TEST(SegmentCacheTest, TheBudgetCountsTheBuffersBehindTheSegments) {
  // The pool hands a segment an idle buffer up to twice its size; those
  // buffers are the memory the cache keeps.
  constexpr size_t kSize = 1000;
  constexpr size_t kRoomy = 2 * kSize - 1;
  BufferPool pool(1 << 20);
  for (int i = 0; i < 12; ++i) pool.Give(PooledBuffer{std::make_unique<uint8_t[]>(kRoomy), kRoomy});
  SegmentCache cache(10 * kSize, pool);
  for (uint64_t offset = 0; offset < 12; ++offset) {
    EXPECT_TRUE(HasPattern(Get(cache, offset, nullptr, false, kSize), offset, kSize));
  }
  size_t kept = 0;
  for (uint64_t offset = 0; offset < 12; ++offset) {
    if (SegmentCache::Segment segment = cache.Find(Key(offset, kSize))) {
      EXPECT_EQ(segment->capacity(), kRoomy);
      kept += segment->capacity();
    }
  }
  EXPECT_GT(kept, 0u);
  EXPECT_LE(kept, 10 * kSize);
  EXPECT_EQ(cache.GetStats().bytes, kept);

  // A segment within the budget whose buffer is not is served, not kept,
  // and evicts nothing.
  SegmentCache tight(kRoomy - 1, pool);
  Get(tight, 0, nullptr, false, kSize / 2);
  EXPECT_TRUE(HasPattern(Get(tight, 1, nullptr, false, kSize), 1, kSize));
  EXPECT_EQ(tight.Find(Key(1, kSize)), nullptr);
  EXPECT_NE(tight.Find(Key(0, kSize / 2)), nullptr);
  EXPECT_LE(tight.GetStats().bytes, kRoomy - 1);
}

TEST(SegmentCacheTest, ADecodeThatThrowsLeavesNoClaimBehind) {
  // Left alive if a reader stays blocked in it, so that the failure is
  // reported instead of ending in a use after free.
  auto* pool = new ExactPool;
  auto* cache = new SegmentCache(1000, *pool);
  auto throwing = [](void*, uint8_t*, size_t) -> bool { throw std::bad_alloc(); };
  bool threw = false;
  try {
    EXPECT_EQ(cache->Get(Key(0), throwing, nullptr), nullptr);
  } catch (...) {
    threw = true;
  }
  EXPECT_FALSE(threw);
  EXPECT_EQ(cache->GetStats().segments, 0u);

  // The next reader of that segment decodes it rather than waiting for the
  // decode that threw.
  struct Reader {
    std::atomic<bool> done{false};
    bool good = false;
  };
  auto reader = std::make_shared<Reader>();
  std::thread thread([reader, cache] {
    reader->good = HasPattern(Get(*cache, 0, nullptr), 0, 100);
    reader->done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!reader->done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!reader->done) {
    thread.detach();
    FAIL() << "a reader still waits for the decode that threw";
  }
  thread.join();
  EXPECT_TRUE(reader->good);
  EXPECT_NE(cache->Find(Key(0)), nullptr);
  delete cache;
  delete pool;
}

// A decode that lowers the cache's budget while it runs, as SetBudget from
// another thread would.
struct LoweringDecode {
  SegmentCache* cache;
  size_t budget;
  uint64_t offset;

  static bool Run(void* context, uint8_t* out, size_t size) {
    auto* self = static_cast<LoweringDecode*>(context);
    self->cache->SetBudget(self->budget);
    for (size_t i = 0; i < size; ++i) out[i] = PatternByte(self->offset, i);
    return true;
  }
};

TEST(SegmentCacheTest, ABudgetLoweredDuringADecodeHoldsWhenItPublishes) {
  ExactPool pool;
  SegmentCache cache(1000, pool);
  Get(cache, 0, nullptr);
  Get(cache, 1, nullptr);
  // Still room for the new segment once the oldest is gone.
  LoweringDecode lower{&cache, 250, 2};
  EXPECT_TRUE(HasPattern(cache.Get(Key(2), &LoweringDecode::Run, &lower), 2, 100));
  EXPECT_EQ(cache.Find(Key(0)), nullptr);
  EXPECT_NE(cache.Find(Key(2)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 200u);
  // No room for it at all: served, not kept.
  LoweringDecode below{&cache, 50, 3};
  EXPECT_TRUE(HasPattern(cache.Get(Key(3), &LoweringDecode::Run, &below), 3, 100));
  EXPECT_EQ(cache.Find(Key(3)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 0u);
  EXPECT_EQ(cache.GetStats().segments, 0u);
}

TEST(SegmentCacheTest, KeepsOnlySegmentsDecodedAgainWithinTheWindow) {
  ExactPool pool;
  SegmentCache cache(1000, pool);
  std::atomic<int> calls{0};
  bool keep = true;
  auto lookup = [&](uint64_t offset) {
    EXPECT_EQ(cache.Lookup(Key(offset), &keep), nullptr) << offset;
    return keep;
  };
  // The first decode is the reader's alone; the second is kept, and the
  // third finds it.
  EXPECT_FALSE(lookup(0));
  EXPECT_EQ(cache.GetStats().segments, 0u);
  EXPECT_TRUE(lookup(0));
  const SegmentCache::Segment kept = Get(cache, 0, &calls);
  EXPECT_EQ(cache.Lookup(Key(0), &keep), kept);
  EXPECT_FALSE(keep);
  EXPECT_TRUE(HasPattern(kept, 0, 100));

  // The window is the budget: decoded again after 1000 bytes of decodes
  // (its own included), a segment is kept; after more, it is not, but the
  // decode after that is.
  EXPECT_FALSE(lookup(1));
  for (uint64_t offset = 10; offset < 19; ++offset) EXPECT_FALSE(lookup(offset));
  EXPECT_TRUE(lookup(1));
  EXPECT_FALSE(lookup(2));
  for (uint64_t offset = 20; offset < 30; ++offset) EXPECT_FALSE(lookup(offset));
  EXPECT_FALSE(lookup(2));
  EXPECT_TRUE(lookup(2));
  const SegmentCache::Stats stats = cache.GetStats();
  EXPECT_EQ(stats.admissions, 3u);
  // Every decode started: the unkept ones Lookup answered, and Get's.
  EXPECT_EQ(stats.misses, 1u + 1 + 1 + 9 + 1 + 10 + 1);
  EXPECT_EQ(stats.hits, 1u);
  EXPECT_EQ(calls.load(), 1);

  // A cache that keeps nothing admits nothing.
  SegmentCache nothing(0, pool);
  EXPECT_EQ(nothing.Lookup(Key(0), &keep), nullptr);
  EXPECT_EQ(nothing.Lookup(Key(0), &keep), nullptr);
  EXPECT_FALSE(keep);
}

TEST(SegmentCacheTest, RemembersTheKeysOfAScenesSegmentsWithoutLosingMany) {
  // Two slots per key: of 500 recent keys in 4096 slots, hardly any push
  // another out (one slot per key would lose about 60).
  ExactPool pool;
  SegmentCache cache(1 << 30, pool);
  bool keep = false;
  for (int pass = 0; pass < 2; ++pass) {
    for (uint64_t offset = 0; offset < 500; ++offset) cache.Lookup(Key(offset * 1000), &keep);
  }
  EXPECT_GE(cache.GetStats().admissions, 495u);
}

TEST(SegmentCacheTest, ALookupDuringAKeptDecodeWaitsForItInsteadOfDecodingAgain) {
  ExactPool pool;
  SegmentCache cache(1000, pool);
  // A decode that holds on until it is let go.
  struct Gate {
    std::atomic<bool> started{false};
    std::atomic<bool> open{false};
    static bool Run(void* context, uint8_t* out, size_t size) {
      auto* self = static_cast<Gate*>(context);
      self->started = true;
      while (!self->open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (size_t i = 0; i < size; ++i) out[i] = PatternByte(3, i);
      return true;
    }
  } gate;
  SegmentCache::Segment decoded;
  std::thread keeper([&] { decoded = cache.Get(Key(3), &Gate::Run, &gate); });
  while (!gate.started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Never looked up before, yet being decoded to be kept: the reader is
  // sent to Get, which waits for that decode.
  bool keep = false;
  EXPECT_EQ(cache.Lookup(Key(3), &keep), nullptr);
  EXPECT_TRUE(keep);
  gate.open = true;
  std::atomic<int> calls{0};
  const SegmentCache::Segment waited = Get(cache, 3, &calls);
  keeper.join();
  EXPECT_EQ(waited, decoded);
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(HasPattern(waited, 3, 100));
}

TEST(SegmentCacheTest, AnUnkeptDecodeIsTheReadersAloneAndItsBufferReturnsToThePool) {
  BufferPool pool(1000);
  SegmentCache cache(1000, pool);
  std::atomic<int> calls{0};
  FakeDecode decode{4, false, std::chrono::milliseconds(0), &calls};
  SegmentCache::Segment mine = cache.DecodeUnkept(Key(4), &FakeDecode::Run, &decode);
  EXPECT_TRUE(HasPattern(mine, 4, 100));
  EXPECT_EQ(cache.Find(Key(4)), nullptr);
  EXPECT_EQ(cache.GetStats().bytes, 0u);
  EXPECT_EQ(pool.idle_bytes(), 0u);
  mine.reset();
  EXPECT_EQ(pool.idle_bytes(), 100u);
  FakeDecode corrupt{4, true, std::chrono::milliseconds(0), &calls};
  EXPECT_EQ(cache.DecodeUnkept(Key(4), &FakeDecode::Run, &corrupt), nullptr);
  EXPECT_EQ(pool.idle_bytes(), 100u);  // the failed decode's buffer is back too
  EXPECT_EQ(calls.load(), 2);
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
  // An idle buffer one byte short of a request is never handed out for it.
  pool.Give(pool.Take(500));
  PooledBuffer larger = pool.Take(501);
  EXPECT_GE(larger.capacity, 501u);
  EXPECT_EQ(pool.idle_bytes(), 500u);
}

// Lookups of some threads while others fill a tiny cache and evict: every
// lookup takes the cache's lock, so the table is never read while it
// changes (the sanitizer build sees a read of a freed node otherwise).
TEST(SegmentCacheTest, LookupsWhileOtherThreadsEvictSeeOnlyWholeSegments) {
  ExactPool pool;
  SegmentCache cache(500, pool);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        const uint64_t offset = static_cast<uint64_t>((i * 7 + t) % 40);
        if (t % 2 == 0) {
          if (!HasPattern(Get(cache, offset, nullptr), offset, 100)) ++wrong;
        } else if (SegmentCache::Segment found = cache.Find(Key(offset))) {
          if (!HasPattern(found, offset, 100)) ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.GetStats().bytes, 500u);
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
