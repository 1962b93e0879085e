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
// Tests can make reads fail or come back short through a process-wide fault
// hook (null in the shipped system): it sees every read before it reaches the
// system and decides how many bytes that read may deliver.
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

 private:
  int64_t ReadOnce(void* buffer, uint32_t size, int64_t offset);

#ifdef _WIN32
  void* handle_ = nullptr;       // a HANDLE; null when closed
  SRWLOCK lock_ = SRWLOCK_INIT;  // keeps each seek and its read together
#else
  int fd_ = -1;
#endif
};
