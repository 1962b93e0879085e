#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer, for the declared-size window
#include "archive/zstd_decompressor.h"

#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The library's own default limit on the window, kept as the ceiling.
constexpr int kMaxWindowLog = ZSTD_WINDOWLOG_LIMIT_DEFAULT;
constexpr int kMinWindowLog = 10;

// The window log that holds `size` bytes, within the bounds above.
int WindowLogFor(uint64_t size) {
  int log = kMinWindowLog;
  while (log < kMaxWindowLog && (uint64_t{1} << log) < size) ++log;
  return log;
}

}  // namespace

ZstdDecompressor::ZstdDecompressor(ReadStream* source, uint64_t declared_size)
    : source_(source), declared_size_(declared_size) {
  stream_ = ZSTD_createDStream();
  if (stream_ == nullptr) {
    failed_ = true;
  } else if (ZSTD_isError(ZSTD_initDStream(stream_))) {
    failed_ = true;
  } else if (declared_size_ != kUnknownSize &&
             ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax,
                                                 WindowLogFor(declared_size_)))) {
    failed_ = true;
  }
  if (source_ == nullptr) {
    failed_ = true;
  } else {
    source_start_ = std::max<int64_t>(source_->Tell(), 0);
  }
}

ZstdDecompressor::~ZstdDecompressor() {
  if (stream_ != nullptr) ZSTD_freeDStream(stream_);
  if (source_ != nullptr) {
    source_->Close();
    delete source_;
    source_ = nullptr;
  }
}

bool ZstdDecompressor::FillInput() {
  if (in_.pos < in_.size) return true;
  const uint32_t count = source_->Read(input_, kInputSize);
  in_.size = count;
  in_.pos = 0;
  if (count == 0) {
    if (source_->HasError()) failed_ = true;
    return false;
  }
  return true;
}

bool ZstdDecompressor::StartOwnWindow() {
  // Only a declared size can bound the buffer; beyond the library's limit
  // the frame is refused as it always was.
  if (declared_size_ == kUnknownSize || declared_size_ == 0 ||
      declared_size_ > (uint64_t{1} << kMaxWindowLog)) {
    return false;
  }
  // The header is read again from the start of the data.
  if (!source_->Seek(source_start_, Begin)) return false;
  in_.size = in_.pos = 0;
  const auto size = static_cast<size_t>(declared_size_);
  own_window_.reset(new (std::nothrow) uint8_t[size]);
  if (own_window_ == nullptr) return false;
  own_out_ = ZSTD_outBuffer{own_window_.get(), size, 0};
  return !ZSTD_isError(ZSTD_DCtx_reset(stream_, ZSTD_reset_session_only)) &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX)) &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_stableOutBuffer, 1));
}

void ZstdDecompressor::NoteContentSize() {
  own_header_seen_ = true;
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, input_ + in_.pos, in_.size - in_.pos) == 0 &&
      header.frameType == ZSTD_frame) {
    own_content_size_ = header.frameContentSize;
  }
}

uint32_t ZstdDecompressor::ReadOwnWindow(uint8_t* buffer, uint32_t size) {
  while (own_served_ == own_out_.pos && !finished_ && !failed_) {
    if (!FillInput()) break;
    if (!own_header_seen_) NoteContentSize();
    // zstd writes into the window buffer, never past it: a frame that
    // decodes to more than the declared size fails here.
    const size_t result = ZSTD_decompressStream(stream_, &own_out_, &in_);
    if (ZSTD_isError(result)) {
      failed_ = true;
    } else if (result == 0) {
      finished_ = true;
    }
    // A frame that decodes to more, or ends with less, than the content
    // size it names is damaged: nothing past that size is served.
    if (own_content_size_ != kUnknownSize &&
        (own_out_.pos > own_content_size_ || (finished_ && own_out_.pos != own_content_size_))) {
      failed_ = true;
      finished_ = false;
    }
  }
  const size_t end = static_cast<size_t>(std::min<uint64_t>(own_out_.pos, own_content_size_));
  const auto count = static_cast<uint32_t>(std::min<size_t>(size, end - own_served_));
  std::memcpy(buffer, own_window_.get() + own_served_, count);
  own_served_ += count;
  return count;
}

uint32_t ZstdDecompressor::Read(void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  if (own_window_ != nullptr) return ReadOwnWindow(static_cast<uint8_t*>(buffer), size);
  if (failed_ || finished_) return 0;
  ZSTD_outBuffer out{buffer, size, 0};
  do {
    if (!FillInput()) break;
    const size_t result = ZSTD_decompressStream(stream_, &out, &in_);
    if (ZSTD_isError(result)) {
      if (ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge && out.pos == 0 &&
          StartOwnWindow()) {
        return ReadOwnWindow(static_cast<uint8_t*>(buffer), size);
      }
      own_window_.reset();
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

bool ZstdDecompressor::IsEof() {
  if (own_window_ != nullptr && own_served_ < own_out_.pos) return false;
  return finished_ || source_ == nullptr || source_->IsEof();
}

bool ZstdDecompressor::HasError() { return failed_ || (source_ != nullptr && source_->HasError()); }

bool ZstdDecompressor::Close() { return source_ == nullptr || source_->Close(); }
