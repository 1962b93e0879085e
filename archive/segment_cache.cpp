#include "archive/segment_cache.h"

#include <atomic>
#include <iterator>
#include <limits>
#include <new>
#include <utility>

DecodedSegment::~DecodedSegment() { pool_->Give(std::move(buffer_)); }

uint64_t SegmentCache::Hash(const SegmentKey& key) {
  uint64_t h = key.archive * 0x9E3779B97F4A7C15ull;
  h ^= key.offset + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= key.packed_size + (h << 6) + (h >> 2);
  h ^= key.unpacked_size + (h << 6) + (h >> 2);
  // Mixed down to the low bits, which pick the table slots.
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 29);
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
  if (it == table_.end() || !it->second.published) return nullptr;
  ++hits_;
  recency_.splice(recency_.begin(), recency_, it->second.kept);
  return it->second.kept->segment;
}

namespace {

// Whether a segment of this size can be decoded into one buffer at all.
bool Decodable(const SegmentKey& key) {
  return key.unpacked_size != 0 && key.unpacked_size <= std::numeric_limits<size_t>::max() / 2;
}

}  // namespace

SegmentCache::Segment SegmentCache::Lookup(const SegmentKey& key, bool* keep) {
  *keep = false;
  // The table of remembered keys is made on first use, outside the lock;
  // one made by a reader that lost the race is freed after the lock. Without
  // memory for it nothing is admitted yet, and readers decode on their own.
  std::unique_ptr<Remembered[]> table;
  if (!has_remembered_.load(std::memory_order_acquire)) {
    table.reset(new (std::nothrow) Remembered[kRememberedKeys]);
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (remembered_ == nullptr && table != nullptr) {
    remembered_ = std::move(table);
    has_remembered_.store(true, std::memory_order_release);
  }
  auto it = table_.find(key);
  if (it != table_.end() && it->second.published) {
    ++hits_;
    recency_.splice(recency_.begin(), recency_, it->second.kept);
    return it->second.kept->segment;
  }
  // A segment that another reader is decoding to keep is kept by Get,
  // which waits for that decode rather than making another.
  *keep = Decodable(key) && (it != table_.end() || Remember(key, key.unpacked_size));
  if (*keep) {
    ++admissions_;
  } else {
    ++misses_;  // Get counts the decodes it makes
  }
  return nullptr;
}

bool SegmentCache::Remember(const SegmentKey& key, uint64_t size) {
  if (remembered_ == nullptr) return false;
  clock_ += size;
  // A key has two slots, so that two keys seldom push each other out while
  // both are recent; a new key takes the slot whose key is older.
  const uint64_t hash = Hash(key);
  Remembered* first = &remembered_[hash % kRememberedKeys];
  Remembered* second = &remembered_[(hash >> 32) % kRememberedKeys];
  Remembered* slot = nullptr;
  if (first->clock != 0 && first->hash == hash) {
    slot = first;
  } else if (second->clock != 0 && second->hash == hash) {
    slot = second;
  }
  // The bytes decoded since the last decode of this key, this one included.
  const bool recent = slot != nullptr && clock_ - slot->clock <= budget_;
  if (slot == nullptr) slot = first->clock <= second->clock ? first : second;
  slot->hash = hash;
  slot->clock = clock_;
  return recent;
}

SegmentCache::Segment SegmentCache::DecodeUnkept(const SegmentKey& key, DecodeFunction decode,
                                                 void* context) {
  if (!Decodable(key)) return nullptr;
  return Decode(static_cast<size_t>(key.unpacked_size), decode, context);
}

SegmentCache::Segment SegmentCache::Get(const SegmentKey& key, DecodeFunction decode,
                                        void* context) {
  if (!Decodable(key)) return nullptr;
  const auto size = static_cast<size_t>(key.unpacked_size);
  uint64_t claim = 0;
  {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      auto it = table_.find(key);
      if (it == table_.end()) break;
      if (it->second.published) {
        ++hits_;
        recency_.splice(recency_.begin(), recency_, it->second.kept);
        return it->second.kept->segment;
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
        table_.emplace(key, node);
        claim = claims_;
      } catch (...) {
        // No memory for the claim: decode without keeping the result.
      }
    }
  }

  // Settles the claim however this reader leaves: publishes what it
  // decoded, or withdraws the claim, so that the readers waiting for it
  // never wait for a segment that is not coming.
  struct Settlement {
    SegmentCache* cache;
    const SegmentKey& key;
    uint64_t claim;
    Segment segment;
    ~Settlement() {
      if (claim != 0) cache->Settle(key, claim, segment);
    }
  } settlement{this, key, claim, nullptr};
  settlement.segment = Decode(size, decode, context);
  return settlement.segment;
}

SegmentCache::Segment SegmentCache::Decode(size_t size, DecodeFunction decode, void* context) {
  PooledBuffer buffer = pool_->Take(size);
  if (buffer.data == nullptr) return nullptr;
  Segment segment;
  try {
    if (decode(context, buffer.data.get(), size)) {
      segment = std::make_shared<const DecodedSegment>(std::move(buffer), size, *pool_);
    }
  } catch (...) {
    // A decode that throws is a failed decode: the archive layer never
    // throws to its callers.
    segment = nullptr;
  }
  if (buffer.data != nullptr) pool_->Give(std::move(buffer));
  return segment;
}

void SegmentCache::Settle(const SegmentKey& key, uint64_t claim, const Segment& segment) {
  // The new segment's place in the recency list, made before the lock.
  KeptList fresh;
  if (segment != nullptr) {
    try {
      fresh.push_back(Kept{key, segment, segment->capacity()});
    } catch (...) {
      // No memory to keep it: it is withdrawn below.
    }
  }
  for (;;) {
    // Whatever leaves the cache in a round is released after the lock, so
    // that giving buffers back or freeing them never holds up other readers.
    KeptList evicted;
    std::lock_guard<std::mutex> hold(lock_);
    auto it = table_.find(key);
    // DropArchive may have withdrawn the claim meanwhile, and another
    // reader may have claimed the key since.
    if (it == table_.end() || it->second.claim != claim || it->second.published) break;
    // The budget as it stands now: it may have been lowered while the
    // segment decoded, or between rounds.
    if (fresh.empty() || fresh.front().charge > budget_) {
      table_.erase(it);
      break;
    }
    // A large segment may displace thousands of small ones: a round evicts
    // a bounded number, and the readers waiting for the lock (hits
    // included) go first before the next.
    if (!Evict(fresh.front().charge, kEvictionsPerRound, &evicted)) continue;
    bytes_ += fresh.front().charge;
    recency_.splice(recency_.begin(), fresh);
    it->second.published = true;
    it->second.kept = recency_.begin();
    break;
  }
  published_.notify_all();
}

void SegmentCache::SetBudget(size_t budget) {
  KeptList evicted;  // released after the lock
  std::lock_guard<std::mutex> hold(lock_);
  budget_ = budget;
  Evict(0, std::numeric_limits<size_t>::max(), &evicted);
}

bool SegmentCache::Evict(size_t incoming, size_t limit, KeptList* evicted) {
  for (size_t count = 0; bytes_ > budget_ || incoming > budget_ - bytes_; ++count) {
    if (recency_.empty() || count == limit) return false;
    auto last = std::prev(recency_.end());
    bytes_ -= last->charge;
    table_.erase(last->key);
    evicted->splice(evicted->end(), recency_, last);
    ++evictions_;
  }
  return true;
}

void SegmentCache::DropArchive(uint64_t archive) {
  KeptList dropped;  // released after the lock
  bool withdrew = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = table_.begin(); it != table_.end();) {
      if (it->first.archive != archive) {
        ++it;
        continue;
      }
      if (it->second.published) {
        bytes_ -= it->second.kept->charge;
        dropped.splice(dropped.end(), recency_, it->second.kept);
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
  stats.admissions = admissions_;
  stats.evictions = evictions_;
  return stats;
}
