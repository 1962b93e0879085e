// The exception paths that hand a crash to the out-of-process handler.
//
// CrashClient::ConnectToHandler installs them after a successful
// registration: UnhandledExceptionHandler as the process's filter,
// HeapCorruptionVectoredHandler first in the vectored chain (heap corruption
// must be reported before anything else can run), AbortSignalHandler for
// SIGABRT. All of them end in UnhandledExceptionHandler, which admits exactly
// one thread, records the crash in g_crash_information, signals the handler
// and gives it time to write its report before ending the process itself.
// They run while other threads are stopped anywhere, perhaps holding the
// heap or a lock of the runtime, so they allocate nothing and take no lock:
// the one line they may log is formatted in fixed storage
// (logging::EmitCrashPathLine).
#pragma once

#include "platform/platform.h"

// Exit code of a process whose handler did not act on the crash in time.
inline constexpr UINT kSelfTerminationExitCode = 0xFFFF7001;
inline constexpr DWORD kHeapCorruptionCode = 0xC0000374;
inline constexpr DWORD kFatalApplicationExitCode = 0x40000015;
inline constexpr DWORD kCrashResponseWaitMs = 60000;

LONG WINAPI UnhandledExceptionHandler(EXCEPTION_POINTERS* pointers);
LONG WINAPI HeapCorruptionVectoredHandler(EXCEPTION_POINTERS* pointers);
void AbortSignalHandler(int signal);

// Tests only: how long the crash path waits for the handler (default 60 s).
void SetCrashResponseWaitForTesting(DWORD milliseconds);
