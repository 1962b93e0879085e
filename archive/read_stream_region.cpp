#include "archive/read_stream_region.h"

#include <algorithm>

#include "archive/seek_target.h"

ReadStreamRegion::ReadStreamRegion(ReadStream* source, int64_t start, int64_t end)
    : source_(source), start_(start), end_(end) {
  if (source_ == nullptr || !source_->IsSeekable()) failed_ = true;
  // Offsets come from archive indexes. A window below the start of the
  // source fails here, so that it never reaches the shared file stream (whose
  // error flag would then stick for every reader); a window that ends before
  // it starts is simply empty.
  if (start_ < 0) {
    failed_ = true;
    start_ = end_ = 0;
  } else if (end_ < start_) {
    end_ = start_;
  }
}

uint32_t ReadStreamRegion::Read(void* buffer, uint32_t size) {
  if (failed_ || source_ == nullptr) return 0;
  const int64_t remaining = length() - position_;
  if (remaining <= 0) return 0;
  const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(size, remaining));
  const uint32_t count = source_->ReadAt(buffer, want, start_ + position_);
  position_ += count;
  if (source_->HasError()) failed_ = true;
  return count;
}

bool ReadStreamRegion::Seek(int64_t offset, SeekOrigin origin) {
  if (source_ == nullptr) return false;
  int64_t target;
  if (!ResolveSeekTarget(position_, length(), offset, origin, &target)) return false;
  position_ = target;
  return true;
}

int64_t ReadStreamRegion::Tell() { return position_; }

bool ReadStreamRegion::IsSeekable() { return source_ != nullptr && source_->IsSeekable(); }

bool ReadStreamRegion::IsEof() { return source_ == nullptr || position_ >= length(); }

bool ReadStreamRegion::HasError() { return failed_ || (source_ != nullptr && source_->HasError()); }

bool ReadStreamRegion::Close() { return true; }

uint32_t ReadStreamRegion::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  if (failed_ || source_ == nullptr || offset < 0 || offset >= length()) return 0;
  const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(size, length() - offset));
  const uint32_t count = source_->ReadAt(buffer, want, start_ + offset);
  if (source_->HasError()) failed_ = true;
  return count;
}
