#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer: the caller's buffer is the window
#include "archive/segment_decoder.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "archive/zlib_decompressor.h"
#include "archive/zstd_decompressor.h"

namespace {

constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

bool IsZstdFrame(const uint8_t* data, size_t size) {
  return size >= sizeof kZstdMagic && std::memcmp(data, kZstdMagic, sizeof kZstdMagic) == 0;
}

ReadStream* Discard(ReadStream* source) {
  source->Close();
  delete source;
  return nullptr;
}

}  // namespace

ReadStream* OpenSegmentDecoder(ReadStream* source, uint64_t declared_size) {
  if (source == nullptr) return nullptr;
  if (!source->IsSeekable()) return Discard(source);
  uint8_t peek[4];
  const uint32_t count = source->Read(peek, sizeof peek);
  if (count == 0) return Discard(source);
  if (!source->Seek(-static_cast<int64_t>(count), Current)) return Discard(source);
  ReadStream* decoder;
  if (IsZstdFrame(peek, count)) {
    decoder = new (std::nothrow) ZstdDecompressor(source, declared_size);
  } else {
    decoder = new (std::nothrow) ZlibDecompressor(source);
  }
  if (decoder == nullptr) return Discard(source);
  return decoder;
}

bool SegmentDecoderFinished(ReadStream* decoder) {
  if (auto* zlib = dynamic_cast<ZlibDecompressor*>(decoder)) return zlib->finished();
  if (auto* zstd = dynamic_cast<ZstdDecompressor*>(decoder)) return zstd->finished();
  return false;
}

WholeSegmentDecoder::~WholeSegmentDecoder() {
  if (zlib_ != nullptr) {
    inflateEnd(zlib_);
    delete zlib_;
  }
  if (zstd_ != nullptr) ZSTD_freeDCtx(zstd_);
}

bool WholeSegmentDecoder::Decode(const uint8_t* packed, size_t packed_size, uint8_t* out,
                                 size_t out_size) {
  if (packed == nullptr || packed_size == 0 || out == nullptr || out_size == 0) return false;
  if (IsZstdFrame(packed, packed_size)) return DecodeZstd(packed, packed_size, out, out_size);
  return DecodeZlib(packed, packed_size, out, out_size);
}

bool WholeSegmentDecoder::DecodeZlib(const uint8_t* packed, size_t packed_size, uint8_t* out,
                                     size_t out_size) {
  if (packed_size > UINT32_MAX || out_size > UINT32_MAX) return false;
  if (zlib_ == nullptr) {
    if (zlib_failed_) return false;
    zlib_ = new (std::nothrow) z_stream{};
    if (zlib_ == nullptr || ZlibDecompressor::InitInflate(zlib_) != Z_OK) {
      delete zlib_;
      zlib_ = nullptr;
      zlib_failed_ = true;
      return false;
    }
  } else if (inflateReset(zlib_) != Z_OK) {
    return false;
  }
  zlib_->next_in = const_cast<Bytef*>(packed);
  zlib_->avail_in = static_cast<uInt>(packed_size);
  zlib_->next_out = out;
  zlib_->avail_out = static_cast<uInt>(out_size);
  // Z_FINISH with room for the whole result decodes in one pass without
  // keeping a window; Z_STREAM_END with a full buffer is the clean ending.
  return inflate(zlib_, Z_FINISH) == Z_STREAM_END && zlib_->avail_out == 0;
}

bool WholeSegmentDecoder::DecodeZstd(const uint8_t* packed, size_t packed_size, uint8_t* out,
                                     size_t out_size) {
  // Skippable frames and the like are left to the streaming decoder.
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, packed, packed_size) != 0 || header.frameType != ZSTD_frame) {
    return false;
  }
  if (zstd_ == nullptr) {
    zstd_ = ZSTD_createDCtx();
    if (zstd_ == nullptr) return false;
    // The output buffer holds the whole segment and serves as the window,
    // so a frame's window size costs no memory of its own and any window
    // the format allows is accepted, as the streaming decoder accepts it
    // for a segment of this size.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(zstd_, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(zstd_, ZSTD_d_stableOutBuffer, 1))) {
      ZSTD_freeDCtx(zstd_);
      zstd_ = nullptr;
      return false;
    }
  } else if (ZSTD_isError(ZSTD_DCtx_reset(zstd_, ZSTD_reset_session_only))) {
    return false;
  }
  // The streaming call with the whole frame as input and the whole segment
  // as output decodes in one pass (the frame states its size) and, like the
  // streaming decoder, stops after the first frame.
  ZSTD_inBuffer in{packed, packed_size, 0};
  ZSTD_outBuffer result{out, out_size, 0};
  const size_t left = ZSTD_decompressStream(zstd_, &result, &in);
  return left == 0 && result.pos == out_size;
}
