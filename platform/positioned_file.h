// PositionedFile: a file opened read-only (others may read it too, nobody may
// write it while it is open) and read at explicit offsets.
//
// Every read names its offset, so callers share no position: on POSIX each
// read is one pread and needs no lock; on Windows each read is a seek and a
// ReadFile under a lock of this file held for those two calls only (a read
// at an offset given in an OVERLAPPED structure costs a round trip to the
// server under Wine, where players run games too).
// The object owns its system handle and closes it at the latest on
// destruction. Open and Close are for the owning thread; ReadAt and Size may
// run on any thread while the file is open.
//
// Tests can make reads fail or come back short through two process-wide
// fault hooks (null in the shipped system): the read fault hook sees every
// request before it reaches the system and decides how many bytes it may
// deliver (a file that ends early, or a request that fails); the system read
// hook sees each single system read a request is made of and can cut it
// short, interrupt it or fail it, as the system itself may.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

class PositionedFile {
 public:
  PositionedFile() = default;
  ~PositionedFile();
  PositionedFile(const PositionedFile&) = delete;
  PositionedFile& operator=(const PositionedFile&) = delete;

  // Opens a wide path, or a path of bytes that the system decodes with its
  // ANSI code page. False when nothing opened (the file stays closed).
  bool Open(const WideString& path);
  bool OpenBytes(const std::string& path);

  bool IsOpen() const;

  // Reads up to `size` bytes at `offset` and returns how many arrived: fewer
  // than asked only at the end of the file. -1 on a read error or a negative
  // offset.
  int64_t ReadAt(void* buffer, uint32_t size, int64_t offset);

  // The file's size in bytes, -1 when it cannot be told.
  int64_t Size();

  // Closes the handle; true when that succeeded or nothing was open.
  bool Close();

  // What the fault hook may answer for one read of `size` bytes: -1 fails the
  // read, a value below `size` cuts it short, `size` lets it through.
  using ReadFaultHook = int64_t (*)(uint32_t size);
  // Installs (or, with null, removes) the process-wide hook. For tests only;
  // not to be changed while reads run.
  static void SetReadFaultHook(ReadFaultHook hook);

  // What the system read hook may answer for one system read of `size`
  // bytes: `size` lets it through, a value from 0 below it lets only that
  // many bytes come (a short read; 0 reads as the end of the file),
  // kReadInterrupted makes it fail as interrupted by a signal (POSIX
  // EINTR, which is retried; a Windows read is never interrupted, so there
  // it passes), kReadFailed makes it fail.
  static constexpr int64_t kReadInterrupted = -2;
  static constexpr int64_t kReadFailed = -1;
  using SystemReadHook = int64_t (*)(uint32_t size);
  // Installs (or, with null, removes) the process-wide hook. For tests only;
  // not to be changed while reads run.
  static void SetSystemReadHook(SystemReadHook hook);

 private:
  int64_t ReadOnce(void* buffer, uint32_t size, int64_t offset);

#ifdef _WIN32
  void* handle_ = nullptr;       // a HANDLE; null when closed
  SRWLOCK lock_ = SRWLOCK_INIT;  // keeps each seek and its read together
#else
  int fd_ = -1;
#endif
};
