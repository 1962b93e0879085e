// Whether a span of this process's memory can be read without a fault.
//
// The instruction copier follows pointers that come out of the code it
// measures; it asks here before reading one, so that a stray address gives an
// unknown branch target instead of an access violation. Windows answers from
// VirtualQuery; the native stand-in asks the kernel to copy the span, which
// fails for unmapped and inaccessible pages alike. Safe from any thread.
#pragma once

#include <cstddef>

bool IsReadableMemory(const void* address, std::size_t size);

// Whether a span can be written without a fault: committed, writable (or
// copy-on-write) pages, none a guard page. The overlay asks before it reads
// an overlaid file into a caller's buffer, so that a buffer the system
// would refuse (ERROR_NOACCESS) is refused the same way, before any decoder
// writes into it. Safe from any thread; the answer holds until the caller
// changes the memory's protection.
bool IsWritableMemory(void* address, std::size_t size);
