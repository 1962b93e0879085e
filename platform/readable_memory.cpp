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

namespace {

// Whether the kernel can copy every chunk of the span through `copy`, which
// moves one chunk between the span and a small local buffer. The kernel
// reports EFAULT instead of raising a signal for a page it cannot reach.
template <typename Copy>
bool EveryChunk(const void* address, std::size_t size, Copy copy) {
  if (size == 0) return true;
  auto at = reinterpret_cast<std::uintptr_t>(address);
  if (at + size < at) return false;
  char buffer[256];
  while (size > 0) {
    const std::size_t chunk = size < sizeof buffer ? size : sizeof buffer;
    iovec local{buffer, chunk};
    iovec remote{reinterpret_cast<void*>(at), chunk};
    if (!copy(&local, &remote)) return false;
    at += chunk;
    size -= chunk;
  }
  return true;
}

bool Moved(ssize_t moved, const iovec* local) {
  return moved == static_cast<ssize_t>(local->iov_len);
}

}  // namespace

bool IsReadableMemory(const void* address, std::size_t size) {
  return EveryChunk(address, size, [](iovec* local, iovec* remote) {
    return Moved(process_vm_readv(getpid(), local, 1, remote, 1, 0), local);
  });
}

bool IsWritableMemory(void* address, std::size_t size) {
  // Each chunk is read and written back unchanged.
  return EveryChunk(address, size, [](iovec* local, iovec* remote) {
    return Moved(process_vm_readv(getpid(), local, 1, remote, 1, 0), local) &&
           Moved(process_vm_writev(getpid(), local, 1, remote, 1, 0), local);
  });
}
#endif
