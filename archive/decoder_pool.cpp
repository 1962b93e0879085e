#include "archive/decoder_pool.h"

#include <new>

namespace {

// A game loads on one or two threads, rarely more; each loading thread
// needs one decoder at a time.
constexpr size_t kSharedIdle = 4;

}  // namespace

DecoderPool::DecoderPool(size_t max_idle) : max_idle_(max_idle) {}

DecoderPool::~DecoderPool() {
  for (WholeSegmentDecoder* decoder : idle_) delete decoder;
}

DecoderPool& DecoderPool::Shared() {
  // Never destroyed (entry streams may give decoders back during the
  // process's static destruction), and made without allocating, so that
  // its first use cannot fail.
  alignas(DecoderPool) static unsigned char storage[sizeof(DecoderPool)];
  static DecoderPool* pool = new (storage) DecoderPool(kSharedIdle);
  return *pool;
}

WholeSegmentDecoder* DecoderPool::Take() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!idle_.empty()) {
      WholeSegmentDecoder* decoder = idle_.back();
      idle_.pop_back();
      return decoder;
    }
  }
  return new (std::nothrow) WholeSegmentDecoder();
}

void DecoderPool::Give(WholeSegmentDecoder* decoder) {
  if (decoder == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    bool room = idle_.capacity() >= max_idle_;
    if (!room) {
      // The list's room is made once; without memory for it, nothing is kept.
      try {
        idle_.reserve(max_idle_);
        room = true;
      } catch (...) {
      }
    }
    if (room && idle_.size() < max_idle_) {
      idle_.push_back(decoder);
      return;
    }
  }
  delete decoder;
}

size_t DecoderPool::idle_count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return idle_.size();
}
