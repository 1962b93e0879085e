// ZstdDecompressor: a forward-only stream that decodes the first zstd frame
// read from its source in 8192-byte blocks, straight into the caller's
// buffer. Library defaults apply (including the window-size limit); legacy
// frame formats are understood when the library was built with them.
//
// Ownership, errors and the `finished` state are as for ZlibDecompressor:
// the decoder owns its source, errors are final and reported by HasError,
// and once the frame has been delivered Read returns 0 and bytes after the
// frame are never read. One thread at a time.
#pragma once

#include <zstd.h>

#include "archive/read_stream.h"

class ZstdDecompressor : public ReadStream {
 public:
  explicit ZstdDecompressor(ReadStream* source);
  ~ZstdDecompressor() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  // Closes the source; the decoding state stays.
  bool Close() override;

 private:
  static constexpr uint32_t kInputSize = 8192;

  ReadStream* source_;
  ZSTD_DStream* stream_ = nullptr;
  uint8_t input_[kInputSize];
  ZSTD_inBuffer in_{input_, 0, 0};
  bool failed_ = false;
  bool finished_ = false;
};
