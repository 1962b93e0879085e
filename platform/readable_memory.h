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
