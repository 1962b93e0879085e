// DecoderPool: whole-segment decoders (each with its zlib and zstd contexts)
// kept between segments and between entry streams, so that reading a
// compressed segment does not create and free library contexts each time.
//
// Idle decoders are bounded in number (`max_idle`); one given back beyond
// that is freed. A decoder handed out belongs to its taker, one thread at a
// time, until given back. Take and Give may run on any thread; the lock is
// held only to move a pointer in or out of the idle list.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "archive/segment_decoder.h"

class DecoderPool {
 public:
  explicit DecoderPool(size_t max_idle);
  ~DecoderPool();
  DecoderPool(const DecoderPool&) = delete;
  DecoderPool& operator=(const DecoderPool&) = delete;

  // The process-wide pool of the archive layer.
  static DecoderPool& Shared();

  // An idle decoder, or a new one; null only when memory ran out.
  WholeSegmentDecoder* Take();
  // Keeps `decoder` for a later Take, or frees it when the pool is full.
  // A decoder after any Decode result, success or failure, may be given
  // back: each Decode starts from a reset.
  void Give(WholeSegmentDecoder* decoder);

  size_t idle_count() const;

 private:
  const size_t max_idle_;
  mutable std::mutex lock_;
  std::vector<WholeSegmentDecoder*> idle_;
};

// Takes a decoder from a pool for one scope and gives it back at its end.
class PooledDecoder {
 public:
  explicit PooledDecoder(DecoderPool& pool) : pool_(pool), decoder_(pool.Take()) {}
  ~PooledDecoder() {
    if (decoder_ != nullptr) pool_.Give(decoder_);
  }
  PooledDecoder(const PooledDecoder&) = delete;
  PooledDecoder& operator=(const PooledDecoder&) = delete;

  WholeSegmentDecoder* get() const { return decoder_; }

 private:
  DecoderPool& pool_;
  WholeSegmentDecoder* decoder_;
};
