#include "archive/decoder_pool.h"

#include <new>

namespace {

// A game loads on one or two threads, rarely more; each loading thread
// needs one decoder at a time.
constexpr size_t kSharedIdle = 4;

}  // namespace

DecoderPool::DecoderPool(size_t max_idle) : max_idle_(max_idle) {
  // Giving back then never allocates.
  idle_.reserve(max_idle_);
}

DecoderPool::~DecoderPool() {
  for (WholeSegmentDecoder* decoder : idle_) delete decoder;
}

DecoderPool& DecoderPool::Shared() {
  // Never destroyed: entry streams may give decoders back during the
  // process's static destruction.
  static DecoderPool* pool = new DecoderPool(kSharedIdle);
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
    if (idle_.size() < max_idle_) {
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
