// BufferPool: byte buffers for decoded and packed segments, kept for reuse
// when their user is done with them, so that reading one small file after
// another does not allocate and fault in fresh memory for every segment.
//
// Idle buffers are bounded in bytes (`max_idle_bytes`) and in number
// (kMaxIdle); a buffer given back beyond either bound replaces the oldest
// idle ones, which are freed (one larger than the whole bound is freed). A buffer
// handed out belongs to its taker until it is given back (or simply
// destroyed, which frees it). All operations may run on any thread; one lock
// guards the idle list and is never held while a buffer is allocated or
// freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// An owned buffer of `capacity` bytes (contents undefined when taken).
struct PooledBuffer {
  std::unique_ptr<uint8_t[]> data;
  size_t capacity = 0;
};

class BufferPool {
 public:
  static constexpr size_t kMaxIdle = 32;

  explicit BufferPool(size_t max_idle_bytes);
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // The process-wide pool of the archive layer.
  static BufferPool& Shared();

  // A buffer of at least `size` bytes: an idle one that is not more than
  // twice as large, or a new one. An empty buffer when memory ran out.
  PooledBuffer Take(size_t size);
  // Keeps `buffer` for a later Take, freeing the oldest idle buffers as far
  // as the bounds require.
  void Give(PooledBuffer buffer);

  size_t idle_bytes() const;
  // Buffers handed out, and how many of them had to be allocated.
  uint64_t taken() const;
  uint64_t allocated() const;
  size_t max_idle_bytes() const { return max_idle_bytes_; }

 private:
  const size_t max_idle_bytes_;
  mutable std::mutex lock_;
  std::vector<PooledBuffer> idle_;
  size_t idle_bytes_ = 0;
  uint64_t taken_ = 0;
  uint64_t allocated_ = 0;
};
