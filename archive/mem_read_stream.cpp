#include "archive/mem_read_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "archive/seek_target.h"

MemReadStream::MemReadStream(const std::vector<uint8_t>& data) : data_(data) {}

MemReadStream::MemReadStream(std::vector<uint8_t>&& data) : data_(std::move(data)) {}

uint32_t MemReadStream::size() const {
  return static_cast<uint32_t>(
      std::min<uint64_t>(data_.size(), std::numeric_limits<uint32_t>::max()));
}

uint32_t MemReadStream::Read(void* buffer, uint32_t size) {
  const uint32_t total = this->size();
  if (buffer == nullptr || position_ >= total) return 0;
  const uint32_t count = std::min(size, total - position_);
  std::memcpy(buffer, data_.data() + position_, count);
  position_ += count;
  return count;
}

bool MemReadStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t target;
  if (!ResolveSeekTarget(position_, size(), offset, origin, &target)) return false;
  position_ = static_cast<uint32_t>(target);
  return true;
}

int64_t MemReadStream::Tell() { return position_; }
bool MemReadStream::IsSeekable() { return true; }
bool MemReadStream::IsEof() { return position_ >= size(); }
bool MemReadStream::HasError() { return false; }
bool MemReadStream::Close() { return true; }

uint32_t MemReadStream::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  const uint32_t total = this->size();
  if (buffer == nullptr || offset < 0 || offset >= total) return 0;
  const uint32_t from = static_cast<uint32_t>(offset);
  const uint32_t count = std::min(size, total - from);
  std::memcpy(buffer, data_.data() + from, count);
  return count;
}
