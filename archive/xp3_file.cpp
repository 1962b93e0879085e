#include "archive/xp3_file.h"

#include <limits>
#include <new>
#include <utility>

#include "archive/read_stream_region.h"
#include "archive/segment_decoder.h"

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

}  // namespace

Xp3File::Xp3File(Xp3Entry entry, ReadStream* source, std::shared_ptr<std::mutex> lock)
    : entry_(std::move(entry)), source_(source), lock_(std::move(lock)) {
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

uint32_t Xp3File::Read(void* buffer, uint32_t size) {
  auto hold = Lock();
  if (buffer == nullptr || size == 0 || position_ >= entry_.unpacked_size) return 0;

  if (decoder_ != nullptr) {
    const uint32_t count = decoder_->Read(buffer, size);
    if (count > 0) {
      position_ += count;
      return count;
    }
    DropDecoder();
  }

  const size_t index = FindSegment(position_);
  if (index == entry_.segments.size()) return 0;
  const Xp3Segment& segment = entry_.segments[index];
  const uint64_t in_segment = position_ - segment_starts_[index];
  int64_t start;
  int64_t end;

  if (segment.IsCompressed()) {
    if (!SegmentWindow(segment, 0, &start, &end)) return 0;
    auto* region = new (std::nothrow) ReadStreamRegion(source_, start, end);
    if (region == nullptr) return 0;
    decoder_ = OpenSegmentDecoder(region);
    if (decoder_ == nullptr) return 0;
    decoder_segment_ = index;
    // Decoders cannot seek: decode and discard up to the position.
    if (in_segment != 0) decoder_->Skip(in_segment);
    const uint32_t count = decoder_->Read(buffer, size);
    position_ += count;
    return count;
  }

  if (!SegmentWindow(segment, in_segment, &start, &end)) return 0;
  ReadStreamRegion region(source_, start, end);
  const uint32_t count = region.Read(buffer, size);
  position_ += count;
  return count;
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
  const uint64_t target = base + static_cast<uint64_t>(offset);
  if (target > entry_.unpacked_size) return false;
  if (decoder_ != nullptr && target < entry_.unpacked_size) {
    if (target >= position_ && FindSegment(target) == decoder_segment_) {
      // Forward within the decoder's segment: decode only the gap.
      decoder_->Skip(target - position_);
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

bool Xp3File::HasError() {
  auto hold = Lock();
  return (source_ != nullptr && source_->HasError()) ||
         (decoder_ != nullptr && decoder_->HasError());
}

bool Xp3File::Close() {
  auto hold = Lock();
  DropDecoder();
  return true;
}
