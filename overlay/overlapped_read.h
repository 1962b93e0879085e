// Reads of an overlay handle at the offset of an OVERLAPPED structure:
// ReadFile with the structure, and ReadFileEx.
//
// The overlay's reads never wait for a device, so each completes before the
// call returns, the way the system completes a read of a disk file:
// Internal holds the status (0, or STATUS_END_OF_FILE when nothing lies at
// the offset), InternalHigh the count, and the structure's event is set, so
// GetOverlappedResult and HasOverlappedIoCompleted answer from the structure
// as for any completed read and never wait: they look at the file handle
// only while Internal says a read is pending, which is why they need no
// redirection. A handle opened with
// FILE_FLAG_OVERLAPPED answers ERROR_IO_PENDING, as the system does for an
// asynchronous handle, and keeps its position; a handle opened without it
// returns the result at once and moves to the end of what was read.
// ReadFileEx's completion routine is queued as an APC to the calling thread
// and runs in its next alertable wait.
//
// Plain functions over the registry; the caller owns the buffers and the
// structure, which must stay valid until the completion routine has run.
#pragma once

#include <windows.h>

class OverlayRegistry;

// ReadFile on an own handle with an OVERLAPPED structure. `count_read` may
// be null; it is written only on an immediate success.
BOOL ReadOwnOverlapped(OverlayRegistry& registry, HANDLE file, void* buffer, DWORD count,
                       DWORD* count_read, OVERLAPPED* overlapped);

// ReadFileEx on an own handle.
BOOL ReadOwnEx(OverlayRegistry& registry, HANDLE file, void* buffer, DWORD count,
               OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE completion);
