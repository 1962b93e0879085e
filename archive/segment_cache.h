// SegmentCache: decoded compressed segments shared by every entry stream of
// every archive, so that re-reading a recently read file, or a second handle
// on the same file, finds its segments decoded instead of decoding them
// again.
//
// A segment is known by its SegmentKey: the archive's process-unique id and
// the segment's place and sizes in the archive file. Segments are immutable
// once published and handed out as shared references; a reference keeps the
// bytes alive after the cache has let go of them (an entry stream holds the
// segment it reads from this way, at most one at a time).
//
// What is kept: a segment read once is never copied into the cache (most of
// a game's files are loaded once, and keeping them would only push out
// those it loads again). The cache remembers the keys of the segments
// decoded lately, without their bytes, and admits a segment when it is
// decoded a second time within the window: while at most `budget` decoded
// bytes (of any segments, this one's included) lie between the two decodes,
// which is as far back as a cache of that budget could have kept it. The
// keys live in a table of kRememberedKeys slots (64 KiB, outside the
// budget, made at first use), each key in one of two slots chosen by its
// hash; a key whose slots newer keys took over is forgotten early, and its
// segment is admitted a decode later.
// Readers ask Lookup first: it answers from the cache, or tells them
// whether to decode through Get (which keeps the result) or on their own.
//
// Memory: the cache counts the buffers behind the segments it keeps (their
// capacity: the pool may hand a segment a buffer up to twice its size), and
// keeps them within its budget; the least recently used segments leave
// first. A segment whose buffer does not fit the budget, as it stands when
// the decode ends, is handed to its reader without being kept. A budget of 0
// keeps nothing. Segments held by readers after they left the cache, or
// never kept, are the readers' memory (one segment per reading stream at
// most).
//
// Errors: only a segment that decoded cleanly to its full size is published.
// When decoding fails, or the decode throws (no memory inside it), nothing
// is kept, Get returns null without throwing, and every reader that waited
// for that decode is told so (and decodes, or fails, on its own).
//
// Threads: any mix. One lock guards the table, the recency list and the
// remembered keys, and is held only to look up, publish and evict; decoding
// runs outside it, and so does the release of segments that leave the cache
// (their buffers go back to the pool or are freed after the lock, however
// many leave at once). A segment that displaces many others evicts them
// kEvictionsPerRound per hold of the lock, so that hits are served in
// between. When several readers ask Get for the same missing segment at
// once, one decodes and the others wait for its result.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "archive/buffer_pool.h"

struct SegmentKey {
  uint64_t archive = 0;  // the archive's process-unique id
  uint64_t offset = 0;   // the segment's packed bytes in the archive file
  uint64_t packed_size = 0;
  uint64_t unpacked_size = 0;

  bool operator==(const SegmentKey& other) const {
    return archive == other.archive && offset == other.offset && packed_size == other.packed_size &&
           unpacked_size == other.unpacked_size;
  }
};

// The decoded bytes of one segment. Its buffer goes back to the pool it came
// from when the last reference is dropped.
class DecodedSegment {
 public:
  DecodedSegment(PooledBuffer buffer, size_t size, BufferPool& pool)
      : buffer_(std::move(buffer)), size_(size), pool_(&pool) {}
  ~DecodedSegment();
  DecodedSegment(const DecodedSegment&) = delete;
  DecodedSegment& operator=(const DecodedSegment&) = delete;

  const uint8_t* data() const { return buffer_.data.get(); }
  size_t size() const { return size_; }
  // The bytes its buffer holds: at least size(), up to twice as many.
  size_t capacity() const { return buffer_.capacity; }

 private:
  PooledBuffer buffer_;
  size_t size_;
  BufferPool* pool_;
};

class SegmentCache {
 public:
  using Segment = std::shared_ptr<const DecodedSegment>;
  // Fills `out` (key.unpacked_size bytes) with the segment's decoded bytes;
  // true only when they decoded cleanly to exactly that size.
  using DecodeFunction = bool (*)(void* context, uint8_t* out, size_t size);

  // Segments are decoded into buffers of `pool`, which must outlive the
  // cache and every segment it hands out.
  explicit SegmentCache(size_t budget, BufferPool& pool = BufferPool::Shared());
  ~SegmentCache();
  SegmentCache(const SegmentCache&) = delete;
  SegmentCache& operator=(const SegmentCache&) = delete;

  // Slots of the table of recently decoded keys.
  static constexpr size_t kRememberedKeys = 4096;

  // The process-wide cache of the archive layer (budget kDefaultBudget).
  static SegmentCache& Shared();
  // Chosen from the game-load benchmark (bench/RESULTS.md): it holds a
  // scene's scripts and small images many times over, and is small beside
  // what the game itself keeps decoded.
  static constexpr size_t kDefaultBudget = 32 << 20;

  // Changes the budget, evicting what no longer fits. For measurements and
  // tests; the shipped system keeps the default.
  void SetBudget(size_t budget);

  // A new process-unique archive id (never 0).
  static uint64_t NewArchiveId();

  // What a reader that needs the segment of `key` asks first: the cached
  // segment (a hit), or null when the reader must decode it. On a miss the
  // decode is remembered, and `*keep` says whether its result belongs in
  // the cache (the segment was decoded within the window): then the reader
  // decodes it through Get; else on its own, through DecodeUnkept or into a
  // buffer of its own, and nothing is kept. Never decodes or waits.
  Segment Lookup(const SegmentKey& key, bool* keep);
  // The segment of `key`: from the cache, or from another reader that is
  // decoding it, or decoded here by `decode(context, ...)` into a buffer of
  // the pool and published, whatever Lookup would say. Null when decoding
  // failed or memory ran out.
  Segment Get(const SegmentKey& key, DecodeFunction decode, void* context);
  // The segment of `key` decoded by `decode(context, ...)` into a buffer of
  // the pool for the caller alone: never published, its buffer goes back to
  // the pool with the last reference. Null when decoding failed or memory
  // ran out. Never throws.
  Segment DecodeUnkept(const SegmentKey& key, DecodeFunction decode, void* context);
  // The cached segment of `key`, or null; never decodes or waits, and
  // remembers nothing.
  Segment Find(const SegmentKey& key);
  // Forgets every segment of an archive that is going away.
  void DropArchive(uint64_t archive);

  struct Stats {
    size_t budget = 0;
    size_t bytes = 0;  // the capacity of the buffers the cache keeps now
    size_t segments = 0;
    uint64_t hits = 0;
    uint64_t misses = 0;      // decodes started (successful or not)
    uint64_t admissions = 0;  // lookups that told the reader to keep its decode
    uint64_t evictions = 0;
  };
  Stats GetStats() const;

 private:
  static uint64_t Hash(const SegmentKey& key);
  struct KeyHash {
    size_t operator()(const SegmentKey& key) const { return static_cast<size_t>(Hash(key)); }
  };
  // A recently decoded segment: its key's hash, and the decode clock when
  // its decode was noted (0: an empty slot).
  struct Remembered {
    uint64_t hash = 0;
    uint64_t clock = 0;
  };
  // A published segment, in the recency list.
  struct Kept {
    SegmentKey key;
    Segment segment;
    size_t charge = 0;  // its buffer's capacity, counted in `bytes_`
  };
  using KeptList = std::list<Kept>;
  struct Node {
    uint64_t claim = 0;  // the decode that publishes it
    bool published = false;
    KeptList::iterator kept;  // its place in `recency_` once published
  };

  // Decodes into a buffer of the pool; null when the decode failed or threw
  // or memory ran out. Never throws.
  Segment Decode(size_t size, DecodeFunction decode, void* context);
  // Notes a decode of `key` of `size` bytes on the decode clock; true when
  // the same key was decoded within the window (never while there is no
  // table of remembered keys). Called with the lock held.
  bool Remember(const SegmentKey& key, uint64_t size);
  // Moves least recently used segments to `*evicted`, at most `limit` of
  // them, until `incoming` more bytes fit; true when they do. Called with
  // the lock held; the caller releases `*evicted` after the lock.
  bool Evict(size_t incoming, size_t limit, KeptList* evicted);
  // How many segments one publication evicts per hold of the lock.
  static constexpr size_t kEvictionsPerRound = 64;
  // Publishes (or, with a null segment, withdraws) the claim on `key` made
  // by the decoding reader, and wakes the readers waiting for it.
  void Settle(const SegmentKey& key, uint64_t claim, const Segment& segment);

  size_t budget_;
  BufferPool* pool_;
  mutable std::mutex lock_;
  std::condition_variable published_;
  std::unordered_map<SegmentKey, Node, KeyHash> table_;
  KeptList recency_;  // most recently used first
  size_t bytes_ = 0;
  uint64_t hits_ = 0;
  uint64_t misses_ = 0;
  uint64_t admissions_ = 0;
  uint64_t evictions_ = 0;
  uint64_t claims_ = 0;
  // The bytes of every decode noted so far: the window's measure.
  uint64_t clock_ = 0;
  std::unique_ptr<Remembered[]> remembered_;  // kRememberedKeys slots, or none yet
  std::atomic<bool> has_remembered_{false};
};
