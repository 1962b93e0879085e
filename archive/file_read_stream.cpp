#include "archive/file_read_stream.h"

#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace {

constexpr int kOpenFlags = _O_RDONLY | _O_BINARY;

// Opens the archive path for reading and returns the descriptor, -1 when
// nothing opened. The path is meant to be UTF-8 but may come from a source
// that used a legacy code page, so each page of the fallback order gets a
// chance, and finally the bytes themselves.
int OpenDescriptor(const std::string& path) {
  for (UINT code_page : kCodePageFallbackOrder) {
    WideString wide;
    if (!MultiByteToWide(path, code_page, MB_ERR_INVALID_CHARS, &wide)) continue;
    int fd = -1;
    if (_wsopen_s(&fd, wide.c_str(), kOpenFlags, _SH_DENYWR, 0) == 0) return fd;
  }
  int fd = -1;
  if (_sopen_s(&fd, path.c_str(), kOpenFlags, _SH_DENYWR, 0) == 0) return fd;
  return -1;
}

}  // namespace

FileReadStream::FileReadStream(const std::string& utf8_path) {
  const int fd = OpenDescriptor(utf8_path);
  if (fd < 0) {
    failed_ = true;
    return;
  }
  file_ = _fdopen(fd, "rb");
  if (file_ == nullptr) {
    _close(fd);
    failed_ = true;
  }
}

FileReadStream::~FileReadStream() { Close(); }

uint32_t FileReadStream::Read(void* buffer, uint32_t size) {
  if (file_ == nullptr || buffer == nullptr) return 0;
  position_after_read_ = -1;
  const size_t count = std::fread(buffer, 1, size, file_);
  if (count < size && std::ferror(file_)) failed_ = true;
  return static_cast<uint32_t>(count);
}

bool FileReadStream::Seek(int64_t offset, SeekOrigin origin) {
  if (file_ == nullptr) return false;
  position_after_read_ = -1;
  // The runtime treats an unknown origin as an invalid parameter, which can
  // end the process; refuse it here instead.
  if (origin != Begin && origin != Current && origin != End) return false;
  return _fseeki64(file_, offset, origin) == 0;
}

int64_t FileReadStream::Tell() {
  if (file_ == nullptr) return -1;
  return _ftelli64(file_);
}

bool FileReadStream::IsSeekable() { return file_ != nullptr; }

bool FileReadStream::IsEof() { return file_ == nullptr || std::feof(file_) != 0; }

bool FileReadStream::HasError() { return failed_; }

bool FileReadStream::Close() {
  if (file_ == nullptr) return true;
  const int result = std::fclose(file_);
  file_ = nullptr;
  return result == 0;
}

uint32_t FileReadStream::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  if (file_ == nullptr || buffer == nullptr) return 0;
  std::lock_guard<std::mutex> hold(lock_);
  // A negative offset is a failed seek; it is refused before it reaches the
  // runtime, whose reaction to it differs between runtimes.
  if (offset < 0) {
    failed_ = true;
    return 0;
  }
  if (offset != position_after_read_ && _fseeki64(file_, offset, SEEK_SET) != 0) {
    position_after_read_ = -1;
    failed_ = true;
    return 0;
  }
  const size_t count = std::fread(buffer, 1, size, file_);
  if (count < size && std::ferror(file_)) failed_ = true;
  // After a short read the runtime's end-of-file mark is set; the next read
  // seeks, which clears it.
  position_after_read_ = count == size ? offset + static_cast<int64_t>(count) : -1;
  return static_cast<uint32_t>(count);
}
