// Xp3File: a seekable stream over one archive entry, made by
// Xp3Archive::OpenEntry. The entry's bytes are a list of segments in the
// archive file. One Read never crosses a segment boundary (ReadExact loops).
//
// Reads are served from bytes the stream holds whenever they can be, so that
// small requests and seeks back cost a copy rather than a system read or a
// decode:
// - a compressed segment of up to kMaxBufferedSegment bytes is read with one
//   positioned read and decoded in one pass. A read that takes the whole
//   segment from its start (a game reads its files whole) has it decoded
//   straight into the caller's buffer, unless the process-wide SegmentCache
//   has it or admits it (it was decoded lately, so it is being read again).
//   Otherwise the stream holds the decoded segment it reads from, a shared
//   reference from the cache or one decoded for this stream alone, until
//   it moves to another one, so that small reads and seeks within it cost
//   a copy and no decode. A segment's data is checked whole before any of
//   it is delivered: data that does not decode cleanly to exactly the
//   declared size delivers nothing and is never cached (a read straight
//   into the caller's buffer may have written parts of it there, never
//   past the segment's size);
// - stored data read in small requests that continue the previous one is
//   read ahead in blocks of kReadAhead bytes.
// A larger compressed segment is read through a streaming decoder kept
// between reads, which decodes only up to what is asked for. It is checked
// as it goes: damage that a format reveals only at its end (a zlib
// checksum) can follow bytes already delivered, but the segment's last
// bytes are delivered only if its data ends cleanly with them. Decoding
// contexts and packed-byte buffers come from the process-wide DecoderPool
// and BufferPool.
//
// Reads deliver only what the index lays out: never past the entry's size
// or a segment's declared size, never another entry's bytes. Data that does
// not match the index (a segment that decodes to more or less than declared,
// a file shorter than its index, an entry whose segments do not add up to
// its size) is corrupt: the read that meets it returns 0 and HasError is
// true from then on.
//
// Memory per stream: the reference to one decoded segment (counted in the
// cache's budget while the cache keeps it), a read-ahead block of kReadAhead
// bytes once stored data is read in small steps, and a streaming decoder
// while one is in use (a streamed zstd segment's window is bounded by its
// declared size, at most 128 MiB). Close and destruction release all of it.
//
// The stream keeps its own copy of the entry and borrows the archive's file
// stream (which outlives it). With `locked`, every operation holds the
// stream's own lock, so one stream may be used from several threads; no
// lock is shared between streams, and the archive file is read with
// positioned reads, so the streams of one archive read and decode in
// parallel.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "archive/buffer_pool.h"
#include "archive/read_stream.h"
#include "archive/segment_cache.h"
#include "archive/segment_decoder.h"
#include "archive/xp3_entry.h"

class Xp3File : public ReadStream {
 public:
  // Stored data is read ahead in blocks of this size when requests are
  // smaller; larger requests go straight to the caller's buffer.
  static constexpr uint32_t kReadAhead = 64 << 10;
  // Compressed segments larger than this (unpacked) are streamed.
  static constexpr uint64_t kMaxBufferedSegment = 16 << 20;
  // Packed bytes beyond the unpacked size that a buffered segment may use.
  static constexpr uint64_t kPackedSlack = 4096;

  // `archive_id` keys the decoded segments of this archive in `cache` (the
  // process-wide one when null).
  Xp3File(Xp3Entry entry, ReadStream* source, bool locked, uint64_t archive_id,
          SegmentCache* cache = nullptr);
  ~Xp3File() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  // Any position from 0 to the unpacked size; beyond it the seek fails.
  bool Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Tell() override;
  bool IsSeekable() override;
  bool IsEof() override;
  // Also true once any read of the archive file failed, through any entry.
  bool HasError() override;
  // Drops the current decoder and releases the held bytes; the archive file
  // stays open and reading may go on.
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
  void ReleaseHeld();
  enum class Buffering { kBuffered, kDelivered, kCorrupt, kTooLarge };
  // Serves the compressed segment `index` to a read of `size` bytes into
  // `out` at the position, if it is small enough and memory allows (else
  // kTooLarge: it is streamed). A segment read once, from its start and
  // whole, is decoded straight into `out` (kDelivered: the segment's bytes
  // are there); otherwise it becomes the held bytes (kBuffered), found in
  // the cache or decoded in one pass, kept in the cache when it was decoded
  // lately. kCorrupt, with nothing held or cached and no byte delivered,
  // when its data is short or does not decode cleanly to exactly its
  // declared size (`out` may then hold parts of it).
  Buffering DecodeSegment(size_t index, uint8_t* out, uint32_t size);
  // Serves a read of the stored segment `index` at `in_segment`.
  uint32_t ReadStored(size_t index, uint64_t in_segment, uint8_t* buffer, uint32_t size);
  // Serves a read from the current decoder, never past its segment's end.
  uint32_t ReadFromDecoder(uint8_t* out, uint32_t size);

  Xp3Entry entry_;
  ReadStream* source_;
  uint64_t archive_id_;
  SegmentCache* cache_;
  // False when the index lays the entry out inconsistently (segments that do
  // not add up to its size, stored bytes of another length than they stand
  // for, sizes beyond int64): reading such an entry fails.
  bool layout_consistent_;
  // Set by a read that met corrupt or missing data; final.
  bool failed_ = false;
  // This thread's count of failed system reads when the current Read began
  // (read_failure.h).
  uint32_t read_failures_before_ = 0;
  // Whether the system failed a read of the archive file since the current
  // Read began: that read fails, and the stream stays usable.
  bool ReadFailedBySystem() const;
  std::vector<uint64_t> segment_starts_;  // running sum of unpacked sizes
  uint64_t position_ = 0;
  ReadStream* decoder_ = nullptr;
  size_t decoder_segment_ = 0;  // the segment the current decoder decodes

  // The held bytes are the entry's bytes [held_start_, held_end_) at
  // held_data_, all in the segment `held_segment_`: a decoded segment
  // (`segment_`) or a read-ahead block of stored data (`ahead_`).
  const uint8_t* held_data_ = nullptr;
  uint64_t held_start_ = 0;
  uint64_t held_end_ = 0;
  size_t held_segment_ = 0;
  SegmentCache::Segment segment_;
  PooledBuffer ahead_;
  // Where the previous read ended: a read that starts there is sequential.
  uint64_t read_end_ = UINT64_MAX;
  std::unique_ptr<std::mutex> lock_;
};
