// ReadStream: the read-only byte stream through which every byte of the
// archive layer is handed out (archive files, index blocks, entry streams,
// decoders, memory files).
//
// Streams live on the heap and are deleted through the virtual destructor by
// whoever received them. No operation throws: failures come back as a 0
// count, false, or -1, and read errors stick so that HasError reports them.
#pragma once

#include <cstdint>

// Where a Seek offset counts from. The values equal SEEK_SET, SEEK_CUR and
// SEEK_END, so a file stream can pass them straight to the runtime; any other
// value makes Seek fail.
enum SeekOrigin : int { Begin = 0, Current = 1, End = 2 };

class ReadStream {
 public:
  ReadStream() = default;
  ReadStream(const ReadStream&) = delete;
  ReadStream& operator=(const ReadStream&) = delete;

  // The slot order below is part of the interface; keep it.
  virtual ~ReadStream();
  // Copies up to `size` bytes to `buffer`; 0 at the end of data or on failure.
  virtual uint32_t Read(void* buffer, uint32_t size) = 0;
  // True when the position changed. The default cannot seek.
  virtual bool Seek(int64_t offset, SeekOrigin origin);
  // The current position, -1 when the stream has none.
  virtual int64_t Tell();
  virtual bool IsSeekable() = 0;
  virtual bool IsEof() = 0;
  // True once a read error has occurred (end of data is not an error).
  virtual bool HasError() = 0;
  // Releases what the stream holds; true when that succeeded.
  virtual bool Close() = 0;
  // Reads at `offset`. The default seeks there and reads, moving the
  // position; streams that share a source override it with a read that
  // leaves the position alone.
  virtual uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset);

  // Reads until `size` bytes have arrived or a Read returns 0. True only if
  // all of them arrived and no error is reported.
  bool ReadExact(void* buffer, uint32_t size);
  // Little-endian integers; on failure `*value` is left untouched.
  bool ReadU8(uint8_t* value);
  bool ReadU16(uint16_t* value);
  bool ReadU32(uint32_t* value);
  bool ReadU64(uint64_t* value);
  // Moves `count` bytes forward: by seeking when the stream can, otherwise by
  // reading and discarding. A stream that simply ends early still reports
  // success; the result is false when the seek fails or an error occurred.
  bool Skip(uint64_t count);
};
