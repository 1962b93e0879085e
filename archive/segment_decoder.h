// OpenSegmentDecoder: picks the decoder for compressed archive data. The
// format has one "compressed" method; data that begins with the zstd frame
// magic (28 B5 2F FD) is a zstd frame, anything else a zlib stream.
#pragma once

#include <zlib.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>

#include "archive/read_stream.h"

// Takes over `source`. Returns the decoder, which then owns the source, or
// null (the source closed and deleted) when the source is null, cannot seek,
// is empty, or cannot be seeked back after the peek. A decoder whose library
// set-up failed is still returned; it reads nothing and reports HasError.
// `declared_size`, the most bytes the data is declared to decode to, bounds
// the memory of a zstd decoder (see ZstdDecompressor).
ReadStream* OpenSegmentDecoder(ReadStream* source, uint64_t declared_size = UINT64_MAX);

// Whether `decoder`, made by OpenSegmentDecoder, has decoded its data to
// the end of the stream or frame. A decoder whose source simply ran out
// reads 0 without an error too, but its data was cut short.
bool SegmentDecoderFinished(ReadStream* decoder);

// WholeSegmentDecoder: decodes a compressed segment whose packed bytes are
// all in memory straight into a buffer of its unpacked size, keeping the
// library contexts from one segment to the next. This is the fast path of
// sequential reading; the streaming decoders above remain the reference.
//
// Decode succeeds only where a streaming decoder declared `out_size` bytes
// would deliver exactly them and then end cleanly: the data (chosen by the
// same magic) is one complete zlib stream or zstd frame that decodes without
// error to exactly `out_size` bytes. zstd decodes with `out` as its window,
// so whatever window the frame names, memory is the caller's buffer. Everything else (corrupt,
// truncated, short or over-long data) is a failure, after which the caller uses a streaming
// decoder, which then behaves exactly as it always does on such data. One thread at a time.
class WholeSegmentDecoder {
 public:
  WholeSegmentDecoder() = default;
  ~WholeSegmentDecoder();
  WholeSegmentDecoder(const WholeSegmentDecoder&) = delete;
  WholeSegmentDecoder& operator=(const WholeSegmentDecoder&) = delete;

  bool Decode(const uint8_t* packed, size_t packed_size, uint8_t* out, size_t out_size);

 private:
  bool DecodeZlib(const uint8_t* packed, size_t packed_size, uint8_t* out, size_t out_size);
  bool DecodeZstd(const uint8_t* packed, size_t packed_size, uint8_t* out, size_t out_size);

  // Created on first use; null also when creation failed (Decode then fails).
  z_stream* zlib_ = nullptr;
  bool zlib_failed_ = false;
  ZSTD_DCtx* zstd_ = nullptr;
};
