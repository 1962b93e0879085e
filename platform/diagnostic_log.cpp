#include "platform/diagnostic_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

#ifdef _WIN32
#include "platform/text_conversion.h"
#else
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#endif

std::atomic<std::intptr_t> g_diagnostic_log_file{0};

namespace {

// The log file XP3PATCH_LOG named when it could not be opened, and why.
char g_failed_path[4096];
unsigned long g_failed_error = 0;
// Set by OpenForAppend when it fails.
unsigned long g_open_error = 0;

// Room for one line; longer lines are cut.
constexpr size_t kLineCapacity = 2048;
constexpr char kCutMark[] = " [cut]";

#ifdef _WIN32

// Where the next line goes. Each line claims its range of the file with one
// atomic add and is written there by a positioned write: lines of several
// threads never overlap or interleave, and no thread ever waits for another
// (one suspended in the middle of a line cannot block the rest). The file
// system's own append mode is not used for this, as not every system makes
// concurrent appends atomic.
std::atomic<std::uint64_t> g_next_offset{0};

std::intptr_t OpenForAppend(const char* utf8_path) {
  WideString wide;
  if (!FromUtf8(utf8_path, &wide) || wide.empty()) {
    g_open_error = ERROR_INVALID_NAME;
    return 0;
  }
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    g_open_error = ::GetLastError();
    return 0;
  }
  LARGE_INTEGER size = {};
  ::GetFileSizeEx(file, &size);
  g_next_offset.store(static_cast<std::uint64_t>(size.QuadPart));
  return reinterpret_cast<std::intptr_t>(file);
}

void CloseFile(std::intptr_t file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

void Append(std::intptr_t file, const char* data, size_t size) {
  const std::uint64_t offset = g_next_offset.fetch_add(size);
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  ::WriteFile(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(size), &written, &at);
}

int WritePrefix(char* line, size_t capacity) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return std::snprintf(line, capacity, "%04u-%02u-%02u %02u:%02u:%02u.%03u [thread %lu] ",
                       now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                       now.wMilliseconds, static_cast<unsigned long>(::GetCurrentThreadId()));
}

struct SavedError {
  DWORD code = ::GetLastError();
  ~SavedError() { ::SetLastError(code); }
};

bool ReadVariable(char* out, size_t capacity) {
  WCHAR value[1024];
  const DWORD length = ::GetEnvironmentVariableW(L"XP3PATCH_LOG", value, 1024);
  if (length == 0 || length >= 1024) return false;
  std::string utf8;
  if (!ToUtf8(WideString(value, length), &utf8) || utf8.size() >= capacity) return false;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return true;
}

#else

std::intptr_t OpenForAppend(const char* utf8_path) {
  if (utf8_path[0] == '\0') {
    g_open_error = ENOENT;
    return 0;
  }
  const int fd = ::open(utf8_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) g_open_error = static_cast<unsigned long>(errno);
  return fd < 0 ? 0 : fd + 1;
}

void CloseFile(std::intptr_t file) { ::close(static_cast<int>(file - 1)); }

void Append(std::intptr_t file, const char* data, size_t size) {
  const ssize_t written = ::write(static_cast<int>(file - 1), data, size);
  (void)written;  // a line that cannot be written is dropped
}

int WritePrefix(char* line, size_t capacity) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  std::tm local{};
  const time_t seconds = now.tv_sec;
  ::localtime_r(&seconds, &local);
  return std::snprintf(line, capacity, "%04d-%02d-%02d %02d:%02d:%02d.%03d [thread %lu] ",
                       local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000),
                       static_cast<unsigned long>(::gettid()));
}

struct SavedError {
  DWORD code = GetLastError();
  int saved_errno = errno;
  ~SavedError() {
    SetLastError(code);
    errno = saved_errno;
  }
};

bool ReadVariable(char* out, size_t capacity) {
  const char* value = std::getenv("XP3PATCH_LOG");
  if (value == nullptr || std::strlen(value) >= capacity) return false;
  std::memcpy(out, value, std::strlen(value) + 1);
  return true;
}

#endif

}  // namespace

bool DiagnosticLogStart() {
  if (DiagnosticLogEnabled()) return true;
  SavedError saved;
  char path[4096];
  if (!ReadVariable(path, sizeof path) || path[0] == '\0') return false;
  if (DiagnosticLogOpen(path)) return true;
  std::memcpy(g_failed_path, path, std::strlen(path) + 1);
  g_failed_error = g_open_error;
  return false;
}

const char* DiagnosticLogFailedPath() { return g_failed_path; }

unsigned long DiagnosticLogFailedError() { return g_failed_error; }

bool DiagnosticLogOpen(const char* utf8_path) {
  SavedError saved;
  DiagnosticLogClose();
  const std::intptr_t file = OpenForAppend(utf8_path);
  if (file == 0) return false;
  g_diagnostic_log_file.store(file, std::memory_order_release);
  return true;
}

void DiagnosticLogClose() {
  SavedError saved;
  const std::intptr_t file = g_diagnostic_log_file.exchange(0, std::memory_order_acq_rel);
  if (file != 0) CloseFile(file);
}

void DiagnosticLogWrite(const char* format, ...) {
  const std::intptr_t file = g_diagnostic_log_file.load(std::memory_order_acquire);
  if (file == 0) return;
  SavedError saved;
  char line[kLineCapacity];
  // The last byte is kept for the line end.
  const size_t room = sizeof line - 1;
  int used = WritePrefix(line, room);
  if (used < 0) used = 0;
  va_list args;
  va_start(args, format);
  const int text = std::vsnprintf(line + used, room - used, format, args);
  va_end(args);
  size_t size = used;
  if (text > 0) {
    if (static_cast<size_t>(text) < room - used) {
      size += text;
    } else {
      size = room - (sizeof kCutMark - 1);
      std::memcpy(line + size, kCutMark, sizeof kCutMark - 1);
      size += sizeof kCutMark - 1;
    }
  }
  line[size++] = '\n';
  Append(file, line, size);
}
