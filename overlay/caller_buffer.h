// Whether the game's buffer for a read of an overlaid file can be written.
//
// The overlay copies and decodes straight into the caller's buffer, so a
// buffer the process cannot write must be refused first, as the system
// refuses it for a disk file (ERROR_NOACCESS), instead of faulting inside a
// decoder. Asking the system about the memory on every read would cost more
// than a small read itself, and games read into the same buffer again and
// again: each thread remembers the last span it found writable and asks
// again only for a span outside it. What that misses is a game that frees
// or re-protects that very buffer between two reads into it; such a read
// faults, as a read into freed memory would anyway.
#pragma once

#include <windows.h>

bool IsCallerBufferWritable(void* buffer, DWORD count);
