// Captures the calling thread's registers as an exception context, for
// crashes that do not come with one (the runtime's abort).
//
// The context describes the caller: integer and segment registers and flags
// as they were at the call, the caller's frame pointer, the return address as
// instruction pointer and the stack pointer as it is after the return. The
// floating-point area holds an FNSAVE image (the state is reloaded at once),
// the extended area an FXSAVE image when the processor has FXSAVE (flags
// 0x1002F) and zeros otherwise (flags 0x1000F); debug registers are 0. Every
// register the routine touches is restored. Written in assembly because the
// compiler would otherwise change the registers being recorded.
#pragma once

#include "platform/platform.h"

extern "C" void SnapshotThreadRegisters(CONTEXT* context);
