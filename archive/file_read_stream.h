// FileReadStream: an archive file on disk, opened read-only (others may read
// it too, nobody may write it while it is open) from a UTF-8 path.
//
// One file stream is shared by every entry stream of an archive. ReadAt is
// the only operation that may run on several threads at once: it is one
// positioned read of the platform file (see platform/positioned_file.h),
// which holds at most a short lock of the file for the system calls, so
// readers of different entries decode in parallel. Read, Seek, Tell and
// Close are for the single thread that owns the stream (index parsing,
// closing) and move a position that ReadAt never touches.
// The stream owns its file and closes it at the latest on destruction.
#pragma once

#include <atomic>
#include <string>

#include "archive/read_stream.h"
#include "platform/positioned_file.h"

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
  PositionedFile file_;
  // Written by positioned reads on any thread, read by HasError.
  std::atomic<bool> failed_{false};
  // The owner's position for Read, Seek and Tell.
  int64_t position_ = 0;
  // Set when a Read came back short at the end; cleared by Seek.
  bool eof_ = false;
};
