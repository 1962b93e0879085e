#include "archive/xp3_file.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "archive/decoder_pool.h"
#include "archive/read_failure.h"
#include "archive/read_stream_region.h"

namespace {

constexpr uint64_t kMaxOffset = std::numeric_limits<int64_t>::max();

// The file window [offset + skip, offset + packed size) of a segment, or false
// when a corrupt index puts it outside the addressable range.
bool SegmentWindow(const Xp3Segment& segment, uint64_t skip, int64_t* start, int64_t* end) {
  if (segment.offset > kMaxOffset || segment.packed_size > kMaxOffset - segment.offset ||
      skip > kMaxOffset - segment.offset) {
    return false;
  }
  *start = static_cast<int64_t>(segment.offset + skip);
  *end = static_cast<int64_t>(segment.offset + segment.packed_size);
  return true;
}

// Whether the index lays the entry out consistently: its segments add up to
// exactly its size, which positions can reach (int64), each segment's bytes
// lie within the addressable range, and stored bytes are as many as they
// stand for (segments of size 0 are never read and may name anything).
// Reading an entry that fails this could hand out bytes beyond its size or
// another entry's bytes, so such an entry reads as corrupt.
bool LayoutIsConsistent(const Xp3Entry& entry) {
  if (entry.unpacked_size > kMaxOffset) return false;
  uint64_t total = 0;
  for (const Xp3Segment& segment : entry.segments) {
    int64_t start;
    int64_t end;
    if (!SegmentWindow(segment, 0, &start, &end) ||
        segment.unpacked_size > entry.unpacked_size - total) {
      return false;
    }
    if (!segment.IsCompressed() && segment.unpacked_size != 0 &&
        segment.packed_size != segment.unpacked_size) {
      return false;
    }
    total += segment.unpacked_size;
  }
  return total == entry.unpacked_size;
}

// Decodes and discards exactly `count` bytes; false when the data ends or
// fails first.
bool SkipExactly(ReadStream* decoder, uint64_t count) {
  uint8_t scratch[4096];
  while (count > 0) {
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(count, sizeof scratch));
    const uint32_t got = decoder->Read(scratch, want);
    if (got == 0) return false;
    count -= got;
  }
  return !decoder->HasError();
}

}  // namespace

Xp3File::Xp3File(Xp3Entry entry, ReadStream* source, bool locked, uint64_t archive_id,
                 SegmentCache* cache)
    : entry_(std::move(entry)),
      source_(source),
      archive_id_(archive_id),
      cache_(cache != nullptr ? cache : &SegmentCache::Shared()),
      layout_consistent_(LayoutIsConsistent(entry_)) {
  if (locked) lock_ = std::make_unique<std::mutex>();
  segment_starts_.reserve(entry_.segments.size());
  uint64_t start = 0;
  for (const Xp3Segment& segment : entry_.segments) {
    segment_starts_.push_back(start);
    start += segment.unpacked_size;
  }
}

Xp3File::~Xp3File() {
  auto hold = Lock();
  DropDecoder();
  ReleaseHeld();
}

std::unique_lock<std::mutex> Xp3File::Lock() {
  if (lock_ == nullptr) return std::unique_lock<std::mutex>();
  return std::unique_lock<std::mutex>(*lock_);
}

void Xp3File::DropDecoder() {
  if (decoder_ == nullptr) return;
  decoder_->Close();
  delete decoder_;
  decoder_ = nullptr;
}

size_t Xp3File::FindSegment(uint64_t position) const {
  const size_t count = segment_starts_.size();
  size_t low = 0;
  size_t high = count;
  size_t found = count;
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (segment_starts_[mid] == position) {
      found = mid;
      break;
    }
    if (position < segment_starts_[mid]) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  if (found == count) found = low == 0 ? 0 : low - 1;
  // Segments of unpacked size 0 share their start with the next one, and the
  // last segment may end before the entry does: walk to the segment that
  // really holds the position, or report that none does.
  for (; found < count; ++found) {
    const uint64_t start = segment_starts_[found];
    if (position < start) break;
    if (position - start < entry_.segments[found].unpacked_size) return found;
  }
  return count;
}

void Xp3File::ReleaseHeld() {
  held_data_ = nullptr;
  held_start_ = held_end_ = 0;
  segment_.reset();
  BufferPool::Shared().Give(std::move(ahead_));
  ahead_ = PooledBuffer();
}

namespace {

// One whole-segment decode: one positioned read of the packed bytes into a
// pooled buffer, one pass of a pooled decoder into `out`, which receives
// exactly `size` bytes or, on failure, at most that many.
struct SegmentJob {
  ReadStream* source;
  int64_t start;
  int64_t end;
  uint32_t packed_size;
  bool corrupt;  // set when the data was read and did not decode cleanly

  static bool Run(void* context, uint8_t* out, size_t size) {
    SegmentJob& job = *static_cast<SegmentJob*>(context);
    PooledBuffer packed = BufferPool::Shared().Take(job.packed_size);
    if (packed.data == nullptr) return false;
    PooledDecoder decoder(DecoderPool::Shared());
    bool ok = false;
    if (decoder.get() != nullptr) {
      ReadStreamRegion region(job.source, job.start, job.end);
      const uint32_t failures = ArchiveReadFailures();
      if (region.ReadAt(packed.data.get(), job.packed_size, 0) == job.packed_size) {
        ok = decoder.get()->Decode(packed.data.get(), job.packed_size, out, size);
        job.corrupt = !ok;
      } else {
        // Short: the file ends before the index says it does (damage), or
        // the system failed the read (not the data's fault).
        job.corrupt = ArchiveReadFailures() == failures;
      }
    }
    BufferPool::Shared().Give(std::move(packed));
    return ok;
  }
};

}  // namespace

Xp3File::Buffering Xp3File::DecodeSegment(size_t index, uint8_t* out, uint32_t size) {
  const Xp3Segment& segment = entry_.segments[index];
  int64_t start;
  int64_t end;
  // Once the archive file has reported an error, a streaming decoder gets
  // only its first input block; keep that behaviour by streaming.
  if (source_ == nullptr || source_->HasError() || segment.unpacked_size > kMaxBufferedSegment ||
      segment.packed_size == 0 || segment.unpacked_size == 0 ||
      !SegmentWindow(segment, 0, &start, &end)) {
    return Buffering::kTooLarge;
  }
  // Compressors add little to incompressible data (a few bytes per block), so
  // no sound segment needs more packed bytes than this; a larger packed size
  // is read only this far, and data that needs more is corrupt.
  const uint64_t unpacked = segment.unpacked_size;
  SegmentJob job{source_, start, end,
                 static_cast<uint32_t>(std::min<uint64_t>(segment.packed_size,
                                                          unpacked + unpacked / 64 + kPackedSlack)),
                 false};
  const SegmentKey key{archive_id_, segment.offset, segment.packed_size, segment.unpacked_size};
  bool keep = false;
  SegmentCache::Segment decoded = cache_->Lookup(key, &keep);
  if (decoded == nullptr) {
    // The decode runs outside every lock but the stream's own (Get waits
    // when another stream decodes the same segment to keep it).
    if (keep) {
      decoded = cache_->Get(key, &SegmentJob::Run, &job);
    } else if (position_ == segment_starts_[index] && size >= unpacked) {
      // Read once, and all of it: straight into the caller's buffer, which
      // the decoder fills no further than the segment's size.
      if (!SegmentJob::Run(&job, out, static_cast<size_t>(unpacked))) {
        return job.corrupt ? Buffering::kCorrupt : Buffering::kTooLarge;
      }
      ReleaseHeld();
      return Buffering::kDelivered;
    } else {
      // Read in parts: the stream holds it for the reads that follow.
      decoded = cache_->DecodeUnkept(key, &SegmentJob::Run, &job);
    }
  }
  if (decoded == nullptr) return job.corrupt ? Buffering::kCorrupt : Buffering::kTooLarge;
  ReleaseHeld();
  segment_ = std::move(decoded);
  held_data_ = segment_->data();
  held_segment_ = index;
  held_start_ = segment_starts_[index];
  held_end_ = held_start_ + segment.unpacked_size;
  return Buffering::kBuffered;
}

uint32_t Xp3File::ReadStored(size_t index, uint64_t in_segment, uint8_t* buffer, uint32_t size) {
  const Xp3Segment& segment = entry_.segments[index];
  int64_t start;
  int64_t end;
  if (!SegmentWindow(segment, in_segment, &start, &end)) return 0;
  ReadStreamRegion region(source_, start, end);
  const uint64_t left = segment.unpacked_size - in_segment;
  const bool sequential = position_ == read_end_;
  if (!sequential || size >= kReadAhead || size >= left) return region.Read(buffer, size);
  if (ahead_.data == nullptr) {
    ReleaseHeld();
    ahead_ = BufferPool::Shared().Take(kReadAhead);
    if (ahead_.data == nullptr) return region.Read(buffer, size);
  }
  // Read ahead, then serve from the block; the caller's Read loops over the
  // block until the request is filled, as a direct read would fill it.
  const auto ahead = static_cast<uint32_t>(std::min<uint64_t>(kReadAhead, left));
  segment_.reset();
  held_data_ = ahead_.data.get();
  const uint32_t count = region.Read(ahead_.data.get(), ahead);
  held_segment_ = index;
  held_start_ = position_;
  held_end_ = position_ + count;
  return count;
}

uint32_t Xp3File::ReadFromDecoder(uint8_t* out, uint32_t size) {
  const uint64_t end = SegmentEnd(decoder_segment_);
  const auto want = static_cast<uint32_t>(std::min<uint64_t>(size, end - position_));
  const uint32_t count = decoder_->Read(out, want);
  if (count == 0) {
    // The data ended or failed before the segment's declared end; a failed
    // system read fails this read only, and the next one decodes afresh.
    failed_ = !ReadFailedBySystem();
    DropDecoder();
    return 0;
  }
  if (position_ + count == end) {
    // The segment's last bytes count only if the data ends cleanly with
    // them: data that decodes to more than declared, whose end fails its
    // check, or that stops before its end (a checksum cut off), is corrupt
    // and none of it is delivered, as a segment decoded whole is not.
    uint8_t extra;
    const bool clean =
        decoder_->Read(&extra, 1) == 0 && !decoder_->HasError() && SegmentDecoderFinished(decoder_);
    DropDecoder();
    if (!clean) {
      failed_ = !ReadFailedBySystem();
      return 0;
    }
  }
  position_ += count;
  read_end_ = position_;
  return count;
}

uint32_t Xp3File::Read(void* buffer, uint32_t size) {
  auto hold = Lock();
  if (buffer == nullptr || size == 0 || position_ >= entry_.unpacked_size) return 0;
  if (!layout_consistent_) failed_ = true;
  if (failed_) return 0;
  read_failures_before_ = ArchiveReadFailures();
  auto* out = static_cast<uint8_t*>(buffer);

  if (decoder_ != nullptr) return ReadFromDecoder(out, size);

  // Copies from the held bytes while they hold the position; a small request
  // in stored data may take several read-ahead blocks, as a direct read
  // would have filled it.
  uint32_t total = 0;
  bool decoded = false;
  for (;;) {
    if (position_ >= held_start_ && position_ < held_end_) {
      const auto count =
          static_cast<uint32_t>(std::min<uint64_t>(size - total, held_end_ - position_));
      std::memcpy(out + total, held_data_ + (position_ - held_start_), count);
      total += count;
      position_ += count;
      read_end_ = position_;
      if (total == size || position_ == SegmentEnd(held_segment_)) return total;
    }
    // A decoded segment is never left partly read here: the copy above
    // either filled the request or reached the segment's end.
    if (decoded) return total;
    const size_t index = FindSegment(position_);
    if (index == entry_.segments.size()) return total;
    const Xp3Segment& segment = entry_.segments[index];
    if (segment.IsCompressed()) {
      if (total > 0) return total;  // a read never crosses into the next segment
      const Buffering held = DecodeSegment(index, out, size);
      if (held == Buffering::kCorrupt) {
        failed_ = true;
        return 0;
      }
      if (held == Buffering::kTooLarge) break;
      if (held == Buffering::kDelivered) {
        const auto count = static_cast<uint32_t>(segment.unpacked_size);
        position_ += count;
        read_end_ = position_;
        return count;
      }
      decoded = true;
      continue;
    }
    const uint64_t in_segment = position_ - segment_starts_[index];
    const uint32_t count = ReadStored(index, in_segment, out + total, size - total);
    if (position_ >= held_start_ && position_ < held_end_) continue;  // read ahead
    // Nothing before the segment's end: the file is shorter than the index
    // says (kept), or the system failed the read (this read only).
    if (count == 0 && !ReadFailedBySystem()) failed_ = true;
    total += count;
    position_ += count;
    if (total > 0) read_end_ = position_;
    return total;
  }
  // A compressed segment too large to decode whole (or no memory for it):
  // stream it.
  const size_t index = FindSegment(position_);
  const Xp3Segment& segment = entry_.segments[index];
  const uint64_t in_segment = position_ - segment_starts_[index];
  int64_t start;
  int64_t end;
  ReadStreamRegion* region = nullptr;
  if (SegmentWindow(segment, 0, &start, &end)) {
    region = new (std::nothrow) ReadStreamRegion(source_, start, end);
  }
  decoder_ = OpenSegmentDecoder(region, segment.unpacked_size);
  // Decoders cannot seek: decode and discard up to the position.
  if (decoder_ == nullptr || (in_segment != 0 && !SkipExactly(decoder_, in_segment))) {
    // Opening the decoder reads the data's first bytes: a failed system read
    // there fails this read only.
    failed_ = !ReadFailedBySystem();
    DropDecoder();
    return 0;
  }
  decoder_segment_ = index;
  return ReadFromDecoder(out, size);
}

bool Xp3File::Seek(int64_t offset, SeekOrigin origin) {
  auto hold = Lock();
  uint64_t base;
  switch (origin) {
    case Begin:
      base = 0;
      break;
    case Current:
      base = position_;
      break;
    case End:
      base = entry_.unpacked_size;
      break;
    default:
      return false;
  }
  // Unsigned arithmetic on purpose: a target below 0 wraps to a huge value
  // and fails the comparison with the size like any target past the end.
  // Positions stay within int64, whatever size a corrupt index declares.
  const uint64_t target = base + static_cast<uint64_t>(offset);
  if (target > entry_.unpacked_size || target > kMaxOffset) return false;
  if (decoder_ != nullptr && target < entry_.unpacked_size) {
    if (target >= position_ && FindSegment(target) == decoder_segment_) {
      // Forward within the decoder's segment: decode only the gap. Should
      // the data end first, the next read starts over and reports it.
      if (!SkipExactly(decoder_, target - position_)) DropDecoder();
      position_ = target;
      return true;
    }
    DropDecoder();
  }
  position_ = target;
  return true;
}

int64_t Xp3File::Tell() {
  auto hold = Lock();
  return static_cast<int64_t>(position_);
}

bool Xp3File::IsSeekable() { return true; }

bool Xp3File::IsEof() {
  auto hold = Lock();
  return position_ >= entry_.unpacked_size;
}

bool Xp3File::ReadFailedBySystem() const { return ArchiveReadFailures() != read_failures_before_; }

bool Xp3File::HasError() {
  auto hold = Lock();
  return failed_ || (source_ != nullptr && source_->HasError()) ||
         (decoder_ != nullptr && decoder_->HasError());
}

bool Xp3File::Close() {
  auto hold = Lock();
  DropDecoder();
  ReleaseHeld();
  return true;
}
