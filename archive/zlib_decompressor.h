// ZlibDecompressor: a forward-only stream that inflates a zlib stream (header,
// deflate data, Adler-32 trailer) read from its source in 8192-byte blocks,
// straight into the caller's buffer.
//
// The decoder owns its source and closes and deletes it on destruction. It
// cannot seek: a reader that needs a later position skips forward. Set-up,
// data and source errors set a final `failed` flag that HasError reports;
// the end of the zlib stream sets `finished`, after which Read returns 0 and
// bytes behind the stream are never read. One thread at a time.
#pragma once

#include <zlib.h>

#include "archive/read_stream.h"

class ZlibDecompressor : public ReadStream {
 public:
  explicit ZlibDecompressor(ReadStream* source);
  ~ZlibDecompressor() override;

  // inflateInit for a zeroed `stream` against the library this layer is
  // built with; Z_OK on success.
  static int InitInflate(z_stream* stream);

  uint32_t Read(void* buffer, uint32_t size) override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  // Closes the source; the decoding state stays, so reading can go on when
  // the source allows it (a region is not affected by Close at all).
  bool Close() override;

  // True once the stream's end, its checksum included, has been decoded.
  bool finished() const { return finished_; }

 private:
  static constexpr uint32_t kInputSize = 8192;

  ReadStream* source_;
  z_stream stream_;
  uint8_t input_[kInputSize];
  bool failed_ = false;
  bool finished_ = false;
};
