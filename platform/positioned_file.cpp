#include "platform/positioned_file.h"

#include <atomic>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

std::atomic<PositionedFile::ReadFaultHook> g_read_fault_hook{nullptr};
std::atomic<PositionedFile::SystemReadHook> g_system_read_hook{nullptr};

// The system read hook's answer for one system read of `*size` bytes: true
// when the read goes ahead (with `*size` perhaps cut short), false when it
// is to fail, `*interrupted` telling how.
bool SystemReadGoesAhead(uint32_t* size, bool* interrupted) {
  *interrupted = false;
  const PositionedFile::SystemReadHook hook = g_system_read_hook.load(std::memory_order_relaxed);
  if (hook == nullptr) return true;
  const int64_t answer = hook(*size);
  if (answer == PositionedFile::kReadInterrupted) {
    *interrupted = true;
    return false;
  }
  if (answer < 0) return false;
  if (answer < *size) *size = static_cast<uint32_t>(answer);
  return true;
}

}  // namespace

void PositionedFile::SetReadFaultHook(ReadFaultHook hook) { g_read_fault_hook.store(hook); }

void PositionedFile::SetSystemReadHook(SystemReadHook hook) { g_system_read_hook.store(hook); }

PositionedFile::~PositionedFile() { Close(); }

int64_t PositionedFile::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  if (!IsOpen() || offset < 0) return -1;
  uint32_t allowed = size;
  if (ReadFaultHook hook = g_read_fault_hook.load(std::memory_order_relaxed)) {
    const int64_t answer = hook(size);
    if (answer < 0) {
      SetLastError(ERROR_READ_FAULT);  // as a device that failed the read
      return -1;
    }
    if (answer < size) allowed = static_cast<uint32_t>(answer);
  }
  // The system may deliver less than asked before the end (POSIX allows it
  // for any read); keep reading until the request is met or a read ends.
  uint32_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < allowed) {
    const int64_t got = ReadOnce(out + done, allowed - done, offset + done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<uint32_t>(got);
  }
  return done;
}

#ifdef _WIN32

bool PositionedFile::Open(const WideString& path) {
  Close();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool PositionedFile::OpenBytes(const std::string& path) {
  Close();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool PositionedFile::IsOpen() const { return handle_ != nullptr; }

int64_t PositionedFile::ReadOnce(void* buffer, uint32_t size, int64_t offset) {
  // A ReadFile that carries its offset in an OVERLAPPED structure is one
  // system call on Windows, but under Wine it also reports its completion to
  // the Wine server: about 50 us a read against 1.4 us for a seek and a read
  // (measured side by side). Players run games under Wine too, so the file
  // keeps a position and each read is a seek and a read under a short lock of
  // this file alone; what the caller does with the bytes (decoding) stays
  // outside it.
  bool interrupted;
  if (!SystemReadGoesAhead(&size, &interrupted) && !interrupted) {
    SetLastError(ERROR_READ_FAULT);  // as a device that failed the read
    return -1;
  }
  AcquireSRWLockExclusive(&lock_);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  DWORD got = 0;
  BOOL ok = ::SetFilePointerEx(static_cast<HANDLE>(handle_), at, nullptr, FILE_BEGIN);
  if (ok) ok = ::ReadFile(static_cast<HANDLE>(handle_), buffer, size, &got, nullptr);
  ReleaseSRWLockExclusive(&lock_);
  return ok ? static_cast<int64_t>(got) : -1;
}

int64_t PositionedFile::Size() {
  LARGE_INTEGER size;
  if (!IsOpen() || !::GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

bool PositionedFile::Close() {
  if (handle_ == nullptr) return true;
  const BOOL closed = ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  return closed != FALSE;
}

#else

bool PositionedFile::Open(const WideString& path) {
  std::string utf8;
  int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.c_str(),
                                   static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return false;
  utf8.resize(static_cast<size_t>(length));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.c_str(), static_cast<int>(path.size()),
                      utf8.data(), length, nullptr, nullptr);
  return OpenBytes(utf8);
}

bool PositionedFile::OpenBytes(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  return true;
}

bool PositionedFile::IsOpen() const { return fd_ >= 0; }

int64_t PositionedFile::ReadOnce(void* buffer, uint32_t size, int64_t offset) {
  for (;;) {
    uint32_t allowed = size;
    bool interrupted;
    ssize_t got;
    if (SystemReadGoesAhead(&allowed, &interrupted)) {
      got = ::pread(fd_, buffer, allowed, static_cast<off_t>(offset));
    } else {
      errno = interrupted ? EINTR : EIO;
      got = -1;
    }
    if (got >= 0) return got;
    // A signal that arrives before any byte came interrupts the read; it
    // says nothing about the file, so the read is made again.
    if (errno != EINTR) return -1;
  }
}

int64_t PositionedFile::Size() {
  struct stat info;
  if (!IsOpen() || ::fstat(fd_, &info) != 0) return -1;
  return info.st_size;
}

bool PositionedFile::Close() {
  if (fd_ < 0) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

#endif
