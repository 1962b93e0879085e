// InMemReadStream: a read-only view of a memory block that somebody else owns
// (the overlay serves the files it holds in memory through it). The creator
// keeps the block alive for the stream's whole life and frees it itself.
// One thread at a time.
#pragma once

#include "archive/read_stream.h"

class InMemReadStream : public ReadStream {
 public:
  InMemReadStream(const void* data, uint32_t size);

  uint32_t Read(void* buffer, uint32_t size) override;
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  bool Close() override;

 private:
  const uint8_t* data_;
  uint32_t size_;
  uint32_t position_ = 0;
};
