#include "archive/buffer_pool.h"

#include <new>
#include <utility>

namespace {

// Enough for a few decoded and packed segments of the packer's default size
// in flight on two or three loading threads.
constexpr size_t kSharedIdleBytes = 4 << 20;

}  // namespace

BufferPool& BufferPool::Shared() {
  // Never destroyed (entry streams may give buffers back during the
  // process's static destruction), and made without allocating, so that
  // its first use cannot fail.
  alignas(BufferPool) static unsigned char storage[sizeof(BufferPool)];
  static BufferPool* pool = new (storage) BufferPool(kSharedIdleBytes);
  return *pool;
}

BufferPool::BufferPool(size_t max_idle_bytes) : max_idle_bytes_(max_idle_bytes) {}

PooledBuffer BufferPool::Take(size_t size) {
  PooledBuffer found;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++taken_;
    size_t best = idle_.size();
    for (size_t i = 0; i < idle_.size(); ++i) {
      const size_t capacity = idle_[i].capacity;
      if (capacity >= size && capacity / 2 <= size &&
          (best == idle_.size() || capacity < idle_[best].capacity)) {
        best = i;
      }
    }
    if (best != idle_.size()) {
      found = std::move(idle_[best]);
      idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(best));
      idle_bytes_ -= found.capacity;
      return found;
    }
    ++allocated_;
  }
  found.data.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (found.data != nullptr) found.capacity = size;
  return found;
}

void BufferPool::Give(PooledBuffer buffer) {
  if (buffer.data == nullptr || buffer.capacity == 0 || buffer.capacity > max_idle_bytes_) return;
  // The oldest idle buffers make room for the newest: what comes back now
  // fits what is asked for now far more often than what was idle longest.
  PooledBuffer oldest[kMaxIdle];
  size_t dropped = 0;
  std::lock_guard<std::mutex> hold(lock_);
  if (idle_.capacity() < kMaxIdle) {
    // The list's room is made once; without memory for it, nothing is kept.
    try {
      idle_.reserve(kMaxIdle);
    } catch (...) {
      return;
    }
  }
  while (!idle_.empty() &&
         (idle_.size() >= kMaxIdle || idle_bytes_ + buffer.capacity > max_idle_bytes_)) {
    idle_bytes_ -= idle_.front().capacity;
    oldest[dropped++] = std::move(idle_.front());
    idle_.erase(idle_.begin());
  }
  idle_bytes_ += buffer.capacity;
  idle_.push_back(std::move(buffer));
}

size_t BufferPool::idle_bytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return idle_bytes_;
}

uint64_t BufferPool::taken() const {
  std::lock_guard<std::mutex> hold(lock_);
  return taken_;
}

uint64_t BufferPool::allocated() const {
  std::lock_guard<std::mutex> hold(lock_);
  return allocated_;
}
