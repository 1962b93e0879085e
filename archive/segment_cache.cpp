#include "archive/segment_cache.h"

#include <atomic>
#include <limits>
#include <new>
#include <utility>

DecodedSegment::~DecodedSegment() { pool_->Give(std::move(buffer_)); }

size_t SegmentCache::KeyHash::operator()(const SegmentKey& key) const {
  uint64_t h = key.archive * 0x9E3779B97F4A7C15ull;
  h ^= key.offset + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= key.packed_size + (h << 6) + (h >> 2);
  h ^= key.unpacked_size + (h << 6) + (h >> 2);
  return static_cast<size_t>(h ^ (h >> 32));
}

SegmentCache::SegmentCache(size_t budget, BufferPool& pool) : budget_(budget), pool_(&pool) {}

SegmentCache::~SegmentCache() = default;

SegmentCache& SegmentCache::Shared() {
  // Never destroyed (entry streams may still release segments during the
  // process's static destruction), and made without allocating, so that
  // its first use cannot fail.
  alignas(SegmentCache) static unsigned char storage[sizeof(SegmentCache)];
  static SegmentCache* cache = new (storage) SegmentCache(kDefaultBudget);
  return *cache;
}

uint64_t SegmentCache::NewArchiveId() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

SegmentCache::Segment SegmentCache::Find(const SegmentKey& key) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = table_.find(key);
  if (it == table_.end() || it->second.segment == nullptr) return nullptr;
  ++hits_;
  recency_.splice(recency_.begin(), recency_, it->second.used);
  return it->second.segment;
}

SegmentCache::Segment SegmentCache::Get(const SegmentKey& key, DecodeFunction decode,
                                        void* context) {
  if (key.unpacked_size == 0 || key.unpacked_size > std::numeric_limits<size_t>::max() / 2) {
    return nullptr;
  }
  const auto size = static_cast<size_t>(key.unpacked_size);
  uint64_t claim = 0;
  {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      auto it = table_.find(key);
      if (it == table_.end()) break;
      if (it->second.segment != nullptr) {
        ++hits_;
        recency_.splice(recency_.begin(), recency_, it->second.used);
        return it->second.segment;
      }
      // Another reader decodes it: wait for its result. When that decode
      // failed, the claim is gone and this reader decodes on its own.
      published_.wait(hold);
    }
    ++misses_;
    if (budget_ >= size) {
      try {
        Node node;
        node.claim = ++claims_;
        table_.emplace(key, std::move(node));
        claim = claims_;
      } catch (...) {
        // No memory for the claim: decode without keeping the result.
      }
    }
  }

  PooledBuffer buffer = pool_->Take(size);
  Segment segment;
  if (buffer.data != nullptr && decode(context, buffer.data.get(), size)) {
    try {
      segment = std::make_shared<const DecodedSegment>(std::move(buffer), size, *pool_);
    } catch (...) {
      segment = nullptr;
    }
  }
  if (buffer.data != nullptr) pool_->Give(std::move(buffer));
  if (claim != 0) Settle(key, claim, segment);
  return segment;
}

void SegmentCache::Settle(const SegmentKey& key, uint64_t claim, const Segment& segment) {
  // Evicted segments are released after the lock, so that returning their
  // memory never holds up other readers (declared first: destroyed last).
  Evicted evicted;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = table_.find(key);
    // DropArchive may have withdrawn the claim meanwhile, and another
    // reader may have claimed the key since.
    if (it != table_.end() && it->second.claim == claim && it->second.segment == nullptr) {
      bool kept = false;
      if (segment != nullptr) {
        try {
          recency_.push_front(key);
          kept = true;
        } catch (...) {
        }
      }
      if (kept) {
        MakeRoom(segment->size(), &evicted);
        it->second.segment = segment;
        it->second.used = recency_.begin();
        bytes_ += segment->size();
      } else {
        table_.erase(it);
      }
    }
  }
  published_.notify_all();
}

void SegmentCache::SetBudget(size_t budget) {
  std::lock_guard<std::mutex> hold(lock_);
  budget_ = budget;
  while (bytes_ > budget_ && !recency_.empty()) {
    auto it = table_.find(recency_.back());
    bytes_ -= it->second.segment->size();
    table_.erase(it);
    recency_.pop_back();
    ++evictions_;
  }
}

void SegmentCache::MakeRoom(size_t incoming, Evicted* evicted) {
  // The newest key is at the front and never evicted here: it is the one
  // being published, whose size is within the budget.
  while (bytes_ + incoming > budget_ && recency_.size() > 1) {
    auto it = table_.find(recency_.back());
    bytes_ -= it->second.segment->size();
    if (evicted->count < Evicted::kCapacity) {
      evicted->segments[evicted->count++] = std::move(it->second.segment);
    }
    table_.erase(it);
    recency_.pop_back();
    ++evictions_;
  }
}

void SegmentCache::DropArchive(uint64_t archive) {
  bool withdrew = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = table_.begin(); it != table_.end();) {
      if (it->first.archive != archive) {
        ++it;
        continue;
      }
      if (it->second.segment != nullptr) {
        bytes_ -= it->second.segment->size();
        recency_.erase(it->second.used);
      } else {
        withdrew = true;
      }
      it = table_.erase(it);
    }
  }
  if (withdrew) published_.notify_all();
}

SegmentCache::Stats SegmentCache::GetStats() const {
  std::lock_guard<std::mutex> hold(lock_);
  Stats stats;
  stats.budget = budget_;
  stats.bytes = bytes_;
  stats.segments = recency_.size();
  stats.hits = hits_;
  stats.misses = misses_;
  stats.evictions = evictions_;
  return stats;
}
