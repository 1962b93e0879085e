// ZstdDecompressor: a forward-only stream that decodes the first zstd frame
// read from its source in 8192-byte blocks, straight into the caller's
// buffer. Legacy frame formats are understood when the library was built
// with them.
//
// Memory: the frame header names the window the decoder keeps, but a header
// alone must not decide how much a hostile archive makes the process take.
// When the data is declared to decode to at most `declared_size` bytes (an
// entry segment's unpacked size), the window is limited to that size rounded
// up to a power of two (at least 1 KiB, at most the library's default limit
// of 128 MiB). A frame that names a larger window than that, as a compressor
// that did not know the input's size may write, is decoded into a buffer of
// the declared size that the decoder owns instead, which zstd then uses as
// its window. Either way memory stays within about twice the declared size.
//
// Ownership, errors and the `finished` state are as for ZlibDecompressor:
// the decoder owns its source, errors are final and reported by HasError,
// and once the frame has been delivered Read returns 0 and bytes after the
// frame are never read. One thread at a time.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <memory>

#include "archive/read_stream.h"

class ZstdDecompressor : public ReadStream {
 public:
  // No declared size: the library's default window limit applies.
  static constexpr uint64_t kUnknownSize = UINT64_MAX;

  explicit ZstdDecompressor(ReadStream* source, uint64_t declared_size = kUnknownSize);
  ~ZstdDecompressor() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  // Closes the source; the decoding state stays.
  bool Close() override;

  // True once the whole frame has been decoded (and checked, when it
  // carries a checksum).
  bool finished() const { return finished_; }

 private:
  static constexpr uint32_t kInputSize = 8192;

  // Refills the input block when it is used up; false when the source gave
  // nothing (and `failed` is set when that was an error).
  bool FillInput();
  // After the frame header asked for a window beyond the limit: starts over
  // decoding into a buffer of the declared size. False when that cannot be.
  bool StartOwnWindow();
  uint32_t ReadOwnWindow(uint8_t* buffer, uint32_t size);
  // Takes the content size the frame's header names, from the first input.
  void NoteContentSize();

  ReadStream* source_;
  int64_t source_start_ = 0;  // where the data begins in the source
  ZSTD_DStream* stream_ = nullptr;
  uint8_t input_[kInputSize];
  ZSTD_inBuffer in_{input_, 0, 0};
  uint64_t declared_size_;
  // The declared-size buffer that serves as the window, when used: zstd
  // decodes into [0, own_out_.pos), reads are served up to that.
  std::unique_ptr<uint8_t[]> own_window_;
  ZSTD_outBuffer own_out_{nullptr, 0, 0};
  size_t own_served_ = 0;
  // The content size the frame names (kUnknownSize when it names none):
  // decoding into its own buffer, the library does not hold the frame to it.
  uint64_t own_content_size_ = kUnknownSize;
  bool own_header_seen_ = false;
  bool failed_ = false;
  bool finished_ = false;
};
