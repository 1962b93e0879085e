#include "overlay/caller_buffer.h"

#include <cstdint>

#include "platform/readable_memory.h"

namespace {

// The span this thread last found writable, [start, end).
thread_local std::uintptr_t t_start = 0;
thread_local std::uintptr_t t_end = 0;

}  // namespace

bool IsCallerBufferWritable(void* buffer, DWORD count) {
  if (count == 0) return true;
  const auto start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t end = start + count;
  if (buffer == nullptr || end < start) return false;
  // The runtime's thread-local storage goes through TlsGetValue, which
  // clears the last error ("TlsGetValue function"); the caller's stays.
  const DWORD error = GetLastError();
  bool writable = start >= t_start && end <= t_end;
  if (!writable && IsWritableMemory(buffer, count)) {
    t_start = start;
    t_end = end;
    writable = true;
  }
  SetLastError(error);
  return writable;
}
