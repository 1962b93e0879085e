// Xp3File: a seekable stream over one archive entry, made by
// Xp3Archive::OpenEntry. The entry's bytes are a list of segments in the
// archive file. One Read never crosses a segment boundary (ReadExact loops).
//
// Reading goes through a buffer of the entry's bytes, so that small requests
// cost a copy rather than a system read or a decoder call:
// - a compressed segment of up to kMaxBufferedSegment bytes is read with one
//   positioned read and decoded in one pass into the buffer, which then
//   serves every read of that segment (also after seeking within it). Its
//   data is checked whole before any of it is delivered: data that does not
//   decode cleanly to exactly the declared size delivers nothing;
// - stored data read in small requests that continue the previous one is
//   read ahead in blocks of kReadAhead bytes.
// A larger compressed segment is read through a streaming decoder kept
// between reads, which decodes only up to what is asked for. It is checked
// as it goes: damage that a format reveals only at its end (a zlib
// checksum) can follow bytes already delivered, but the segment's last
// bytes are delivered only if its data ends cleanly with them.
//
// Reads deliver only what the index lays out: never past the entry's size
// or a segment's declared size, never another entry's bytes. Data that does
// not match the index (a segment that decodes to more or less than declared,
// a file shorter than its index, an entry whose segments do not add up to
// its size) is corrupt: the read that meets it returns 0 and HasError is
// true from then on.
//
// Memory: the buffer holds at most max(kReadAhead, largest segment decoded
// so far) bytes, bounded by kMaxBufferedSegment (larger segments are
// streamed), and the packed-bytes buffer the largest packed segment read,
// at most that plus 1/64 and kPackedSlack; plus the decoding contexts (a
// streamed zstd segment's window is bounded by its declared size, at most
// 128 MiB). All is released by Close and destruction.
//
// The stream keeps its own copy of the entry, borrows the archive's file
// stream (which outlives it), owns its current decoder, and shares the
// archive's lock: with a lock, every operation holds it for its whole
// duration, so the entry streams of one archive may be used from any threads.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "archive/read_stream.h"
#include "archive/segment_decoder.h"
#include "archive/xp3_entry.h"

class Xp3File : public ReadStream {
 public:
  // Stored data is read ahead in blocks of this size when requests are
  // smaller; larger requests go straight to the caller's buffer.
  static constexpr uint32_t kReadAhead = 64 << 10;
  // Compressed segments larger than this (packed or unpacked) are streamed.
  static constexpr uint64_t kMaxBufferedSegment = 16 << 20;
  // Packed bytes beyond the unpacked size that a buffered segment may use.
  static constexpr uint64_t kPackedSlack = 4096;

  // `lock` may be empty: the stream then takes no lock.
  Xp3File(Xp3Entry entry, ReadStream* source, std::shared_ptr<std::mutex> lock);
  ~Xp3File() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  // Any position from 0 to the unpacked size; beyond it the seek fails.
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  // Also true once any read of the archive file failed, through any entry.
  bool HasError() override;
  // Drops the current decoder and frees the buffers; the archive file stays
  // open and reading may go on.
  bool Close() override;

 private:
  std::unique_lock<std::mutex> Lock();
  // The segment that holds the byte at `position`, or the segment count when
  // no segment does (an index whose segments do not cover the entry).
  size_t FindSegment(uint64_t position) const;
  uint64_t SegmentEnd(size_t index) const {
    return segment_starts_[index] + entry_.segments[index].unpacked_size;
  }
  void DropDecoder();
  void ReleaseBuffers();
  // Makes the buffer hold at least `size` bytes; false when memory ran out.
  bool Reserve(std::unique_ptr<uint8_t[]>* buffer, size_t* capacity, size_t size);
  enum class Buffering { kBuffered, kCorrupt, kTooLarge };
  // Decodes the compressed segment `index` into the buffer, if it is small
  // enough and memory allows (else kTooLarge: it is streamed). kCorrupt, with
  // nothing buffered, when its data is short or does not decode cleanly to
  // exactly its declared size.
  Buffering BufferSegment(size_t index);
  // Serves a read of the stored segment `index` at `in_segment`.
  uint32_t ReadStored(size_t index, uint64_t in_segment, uint8_t* buffer, uint32_t size);
  // Serves a read from the current decoder, never past its segment's end.
  uint32_t ReadFromDecoder(uint8_t* out, uint32_t size);

  Xp3Entry entry_;
  ReadStream* source_;
  // False when the index lays the entry out inconsistently (segments that do
  // not add up to its size, stored bytes of another length than they stand
  // for, sizes beyond int64): reading such an entry fails.
  bool layout_consistent_;
  // Set by a read that met corrupt or missing data; final.
  bool failed_ = false;
  std::vector<uint64_t> segment_starts_;  // running sum of unpacked sizes
  uint64_t position_ = 0;
  ReadStream* decoder_ = nullptr;
  size_t decoder_segment_ = 0;  // the segment the current decoder decodes

  // The buffer holds the entry's bytes [buffered_start_, buffered_end_),
  // which all lie in the segment `buffered_segment_`.
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffer_capacity_ = 0;
  uint64_t buffered_start_ = 0;
  uint64_t buffered_end_ = 0;
  size_t buffered_segment_ = 0;
  // Where the previous read ended: a read that starts there is sequential.
  uint64_t read_end_ = UINT64_MAX;
  std::unique_ptr<uint8_t[]> packed_;
  size_t packed_capacity_ = 0;
  WholeSegmentDecoder whole_decoder_;
  std::shared_ptr<std::mutex> lock_;
};
