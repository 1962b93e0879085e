// MemReadStream: a stream over its own copy of a byte vector (the decoded
// archive index and each of its chunks are parsed through it). Seekable;
// ReadAt leaves the position alone. One thread at a time.
#pragma once

#include <vector>

#include "archive/read_stream.h"

class MemReadStream : public ReadStream {
 public:
  explicit MemReadStream(const std::vector<uint8_t>& data);
  // Takes the bytes over instead of copying them.
  explicit MemReadStream(std::vector<uint8_t>&& data);

  uint32_t Read(void* buffer, uint32_t size) override;
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  bool Close() override;
  uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override;

  // Number of bytes the stream serves (a vector beyond 4 GiB is cut there).
  uint32_t size() const;

 private:
  std::vector<uint8_t> data_;
  uint32_t position_ = 0;
};
