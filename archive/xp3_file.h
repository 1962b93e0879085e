// Xp3File: a seekable stream over one archive entry, made by
// Xp3Archive::OpenEntry. The entry's bytes are a list of segments in the
// archive file; stored segments are read in place, compressed ones through a
// decoder that is kept between reads so that sequential reading decodes every
// byte once. One Read never crosses a segment boundary (ReadExact loops).
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
#include "archive/xp3_entry.h"

class Xp3File : public ReadStream {
 public:
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
  // Drops the current decoder; the archive file stays open.
  bool Close() override;

 private:
  std::unique_lock<std::mutex> Lock();
  // The segment that holds the byte at `position`, or the segment count when
  // no segment does (an index whose segments do not cover the entry).
  size_t FindSegment(uint64_t position) const;
  void DropDecoder();

  Xp3Entry entry_;
  ReadStream* source_;
  std::vector<uint64_t> segment_starts_;  // running sum of unpacked sizes
  uint64_t position_ = 0;
  ReadStream* decoder_ = nullptr;
  size_t decoder_segment_ = 0;  // the segment the current decoder decodes
  std::shared_ptr<std::mutex> lock_;
};
