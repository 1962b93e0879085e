#include "archive/read_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

ReadStream::~ReadStream() = default;

bool ReadStream::Seek(int64_t, SeekOrigin) { return false; }

int64_t ReadStream::Tell() { return -1; }

uint32_t ReadStream::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  if (!IsSeekable() || !Seek(offset, Begin)) return 0;
  return Read(buffer, size);
}

bool ReadStream::ReadExact(void* buffer, uint32_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t arrived = 0;
  while (arrived < size) {
    const uint32_t count = Read(out + arrived, size - arrived);
    if (count == 0) break;
    arrived += count;
  }
  return arrived == size && !HasError();
}

namespace {

template <typename T>
bool ReadLittleEndian(ReadStream* stream, T* value) {
  uint8_t bytes[sizeof(T)];
  if (!stream->ReadExact(bytes, sizeof bytes)) return false;
  T result = 0;
  for (size_t i = sizeof(T); i-- > 0;) result = static_cast<T>((result << 8) | bytes[i]);
  *value = result;
  return true;
}

}  // namespace

bool ReadStream::ReadU8(uint8_t* value) { return ReadLittleEndian(this, value); }
bool ReadStream::ReadU16(uint16_t* value) { return ReadLittleEndian(this, value); }
bool ReadStream::ReadU32(uint32_t* value) { return ReadLittleEndian(this, value); }
bool ReadStream::ReadU64(uint64_t* value) { return ReadLittleEndian(this, value); }

bool ReadStream::Skip(uint64_t count) {
  if (IsSeekable()) {
    // A count beyond the signed range would turn into a backward seek.
    if (count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    if (!Seek(static_cast<int64_t>(count), Current)) return false;
    return !HasError();
  }
  uint8_t scratch[4096];
  while (count > 0) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count, sizeof scratch));
    const uint32_t got = Read(scratch, want);
    if (got == 0) break;
    count -= got;
  }
  return !HasError();
}
