// FileReadStream: an archive file on disk, opened read-only (others may read
// it too, nobody may write it while it is open) from a UTF-8 path.
//
// One file stream is shared by every entry stream of an archive: ReadAt is the
// only operation that may run on several threads at once, and it holds the
// stream's own mutex across its seek and read. Read, Seek, Tell and Close are
// for the single thread that owns the stream (index parsing, closing).
// The stream owns its FILE and closes it at the latest on destruction.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "archive/read_stream.h"

class FileReadStream : public ReadStream {
 public:
  // Never fails by itself: a missing or unreadable file leaves a stream that
  // is not seekable and reports HasError.
  explicit FileReadStream(const std::string& utf8_path);
  ~FileReadStream() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  bool HasError() override;
  bool Close() override;
  uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override;

 private:
  std::FILE* file_ = nullptr;
  // Written by positioned reads on any thread, read by HasError.
  std::atomic<bool> failed_{false};
  std::mutex lock_;
  // The runtime's position after the last positioned read, -1 when unknown.
  // A read that continues where the previous one ended needs no seek, which
  // saves a system call per read when entries are read from start to end.
  int64_t position_after_read_ = -1;
};
