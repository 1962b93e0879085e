// What this machine reports for a write to address 0.
//
// Windows raises an access violation (0xC0000005) with an access record.
// Wine running under a user-mode CPU emulator raises an illegal instruction
// (0xC000001D) without one, because the emulator does not pass the fault's
// trap number on. Tests that check a crash's code ask this probe instead of
// assuming either; the probe catches its own fault and returns.
#pragma once

#include <windows.h>

// The exception code a write to address 0 raises in this process; 0 when no
// exception was seen.
DWORD NullWriteExceptionCode();
