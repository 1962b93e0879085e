#include "platform/readable_memory.h"

#include <cstdint>

#ifdef _WIN32
#include <windows.h>

namespace {

// Whether every page of the span is committed and its protection passes
// `accepts`; a span may cross several regions with different protections.
template <typename Accepts>
bool EveryRegion(const void* address, std::size_t size, Accepts accepts) {
  if (size == 0) return true;
  auto at = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t end = at + size;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0 || !accepts(info.Protect)) {
      return false;
    }
    const std::uintptr_t region_end =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (region_end <= at) return false;
    at = region_end;
  }
  return true;
}

}  // namespace

bool IsReadableMemory(const void* address, std::size_t size) {
  return EveryRegion(address, size, [](DWORD protect) { return (protect & PAGE_NOACCESS) == 0; });
}

bool IsWritableMemory(void* address, std::size_t size) {
  constexpr DWORD kWritable =
      PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return EveryRegion(address, size, [](DWORD protect) { return (protect & kWritable) != 0; });
}

#else
#include <sys/uio.h>
#include <unistd.h>

bool IsReadableMemory(const void* address, std::size_t size) {
  if (size == 0) return true;
  auto at = reinterpret_cast<std::uintptr_t>(address);
  if (at + size < at) return false;
  // The kernel copies into a small local buffer, chunk by chunk, and reports
  // EFAULT instead of raising a signal when a page cannot be read.
  char sink[256];
  while (size > 0) {
    const std::size_t chunk = size < sizeof sink ? size : sizeof sink;
    iovec local{sink, chunk};
    iovec remote{reinterpret_cast<void*>(at), chunk};
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(chunk)) {
      return false;
    }
    at += chunk;
    size -= chunk;
  }
  return true;
}
bool IsWritableMemory(void* address, std::size_t size) {
  if (size == 0) return true;
  auto at = reinterpret_cast<std::uintptr_t>(address);
  if (at + size < at) return false;
  // Each chunk is read and written back unchanged by the kernel, which
  // reports EFAULT instead of raising a signal for a page it cannot write.
  char copy[256];
  while (size > 0) {
    const std::size_t chunk = size < sizeof copy ? size : sizeof copy;
    iovec local{copy, chunk};
    iovec remote{reinterpret_cast<void*>(at), chunk};
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(chunk) ||
        process_vm_writev(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(chunk)) {
      return false;
    }
    at += chunk;
    size -= chunk;
  }
  return true;
}
#endif
