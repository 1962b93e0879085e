#include "archive/in_mem_read_stream.h"

#include <algorithm>
#include <cstring>

#include "archive/seek_target.h"

InMemReadStream::InMemReadStream(const void* data, uint32_t size)
    : data_(static_cast<const uint8_t*>(data)), size_(data == nullptr ? 0 : size) {}

uint32_t InMemReadStream::Read(void* buffer, uint32_t size) {
  if (buffer == nullptr || position_ >= size_) return 0;
  const uint32_t count = std::min(size, size_ - position_);
  std::memcpy(buffer, data_ + position_, count);
  position_ += count;
  return count;
}

bool InMemReadStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t target;
  if (!ResolveSeekTarget(position_, size_, offset, origin, &target)) return false;
  position_ = static_cast<uint32_t>(target);
  return true;
}

int64_t InMemReadStream::Tell() { return position_; }
bool InMemReadStream::IsSeekable() { return true; }
bool InMemReadStream::IsEof() { return position_ >= size_; }
bool InMemReadStream::HasError() { return false; }
bool InMemReadStream::Close() { return true; }
