#include "archive/zstd_decompressor.h"

ZstdDecompressor::ZstdDecompressor(ReadStream* source) : source_(source) {
  stream_ = ZSTD_createDStream();
  if (stream_ == nullptr) {
    failed_ = true;
  } else if (ZSTD_isError(ZSTD_initDStream(stream_))) {
    failed_ = true;
  }
  if (source_ == nullptr) failed_ = true;
}

ZstdDecompressor::~ZstdDecompressor() {
  if (stream_ != nullptr) ZSTD_freeDStream(stream_);
  if (source_ != nullptr) {
    source_->Close();
    delete source_;
    source_ = nullptr;
  }
}

uint32_t ZstdDecompressor::Read(void* buffer, uint32_t size) {
  if (failed_ || finished_) return 0;
  if (buffer == nullptr || size == 0) return 0;
  ZSTD_outBuffer out{buffer, size, 0};
  do {
    if (in_.pos >= in_.size) {
      const uint32_t count = source_->Read(input_, kInputSize);
      in_.size = count;
      in_.pos = 0;
      if (count == 0) {
        if (source_->HasError()) failed_ = true;
        break;
      }
    }
    const size_t result = ZSTD_decompressStream(stream_, &out, &in_);
    if (ZSTD_isError(result)) {
      failed_ = true;
      break;
    }
    if (result == 0) {
      finished_ = true;
      break;
    }
  } while (out.pos < out.size);
  return static_cast<uint32_t>(out.pos);
}

bool ZstdDecompressor::IsSeekable() { return false; }

bool ZstdDecompressor::IsEof() { return finished_ || source_ == nullptr || source_->IsEof(); }

bool ZstdDecompressor::HasError() { return failed_ || (source_ != nullptr && source_->HasError()); }

bool ZstdDecompressor::Close() { return source_ == nullptr || source_->Close(); }
