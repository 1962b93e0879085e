#include "overlay/overlapped_read.h"

#include <memory>

#include "overlay/overlay_registry.h"

namespace {

constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;

// A failure status that GetOverlappedResult turns back into `error`: the
// system maps the Win32 facility of NT status codes onto the code itself.
ULONG_PTR StatusOf(DWORD error) { return 0xC0070000 | (error & 0xFFFF); }

// The event of an OVERLAPPED structure; its lowest bit only asks that no
// completion packet be queued.
HANDLE EventOf(const OVERLAPPED* overlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

LONGLONG OffsetOf(const OVERLAPPED* overlapped) {
  return static_cast<LONGLONG>(static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32 |
                               overlapped->Offset);
}

bool Completed(const OverlayRegistry::PositionedRead& read) {
  return read.error == 0 || read.error == ERROR_HANDLE_EOF;
}

// Records the outcome in the structure, as the system does when a read has
// run: the status and count of a completed read, or a failure status.
void Record(OVERLAPPED* overlapped, const OverlayRegistry::PositionedRead& read) {
  if (Completed(read)) {
    overlapped->Internal = read.error == 0 ? kStatusSuccess : kStatusEndOfFile;
    overlapped->InternalHigh = read.count;
  } else {
    overlapped->Internal = StatusOf(read.error);
    overlapped->InternalHigh = 0;
  }
}

// What ReadFileEx hands the completion routine, kept until the APC runs.
struct Completion {
  LPOVERLAPPED_COMPLETION_ROUTINE routine;
  DWORD error;
  DWORD count;
  OVERLAPPED* overlapped;
};

void CALLBACK RunCompletion(ULONG_PTR parameter) {
  std::unique_ptr<Completion> completion(reinterpret_cast<Completion*>(parameter));
  completion->routine(completion->error, completion->count, completion->overlapped);
}

}  // namespace

BOOL ReadOwnOverlapped(OverlayRegistry& registry, HANDLE file, void* buffer, DWORD count,
                       DWORD* count_read, OVERLAPPED* overlapped) {
  overlapped->Internal = kStatusPending;
  const OverlayRegistry::PositionedRead read =
      registry.ReadAtOwn(file, buffer, count, OffsetOf(overlapped));
  Record(overlapped, read);
  const HANDLE event = EventOf(overlapped);
  if (!Completed(read)) {
    if (event != nullptr) ResetEvent(event);
    SetLastError(read.error);
    return FALSE;
  }
  // The event is set after the structure holds the result, so whoever wakes
  // on it finds the result there. A caller's bad event handle is not this
  // read's failure: its own error is not kept.
  if (event != nullptr) {
    const DWORD error = GetLastError();
    SetEvent(event);
    SetLastError(error);
  }
  if (read.asynchronous) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (read.error == ERROR_HANDLE_EOF) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  if (count_read != nullptr) *count_read = read.count;
  return TRUE;
}

BOOL ReadOwnEx(OverlayRegistry& registry, HANDLE file, void* buffer, DWORD count,
               OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE completion) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Made before reading, so that a failed allocation reads nothing.
  auto queued = std::make_unique<Completion>();
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  const OverlayRegistry::PositionedRead read =
      registry.ReadAtOwn(file, buffer, count, OffsetOf(overlapped));
  Record(overlapped, read);
  if (!Completed(read)) {
    SetLastError(read.error);
    return FALSE;
  }
  // A synchronous handle reports the end at once and queues nothing; an
  // asynchronous one hands it to the routine.
  if (read.error == ERROR_HANDLE_EOF && !read.asynchronous) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  if (completion == nullptr) return TRUE;
  *queued = Completion{completion, read.error, read.count, overlapped};
  if (!QueueUserAPC(&RunCompletion, GetCurrentThread(),
                    reinterpret_cast<ULONG_PTR>(queued.get()))) {
    return FALSE;
  }
  queued.release();  // RunCompletion frees it
  return TRUE;
}
