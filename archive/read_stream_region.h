// ReadStreamRegion: the window [start, end) of another stream, read only
// through the source's positioned ReadAt, so that any number of windows (one
// per entry segment being read) can share one archive file without moving
// each other's positions.
//
// The region borrows its source: it never closes or deletes it, and the
// source must outlive the region. Its `failed` flag is final: once the source
// reported an error (or could not seek from the start), the region yields
// nothing more. One thread at a time.
#pragma once

#include "archive/read_stream.h"

class ReadStreamRegion : public ReadStream {
 public:
  // A null or non-seekable source, or a window that starts below 0, makes a
  // failed region that reads nothing. A window that ends before it starts is
  // empty.
  ReadStreamRegion(ReadStream* source, int64_t start, int64_t end);

  uint32_t Read(void* buffer, uint32_t size) override;
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  bool Close() override;
  uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override;

 private:
  int64_t length() const { return end_ - start_; }

  ReadStream* source_;
  int64_t start_;
  int64_t end_;
  int64_t position_ = 0;
  bool failed_ = false;
};
