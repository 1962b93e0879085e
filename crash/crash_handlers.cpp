#include "crash/crash_handlers.h"

#include <cstdint>

#include "crash/crash_state.h"
#include "crash/log_message.h"
#include "crash/snapshot_thread_registers.h"

namespace {
DWORD g_crash_response_wait_ms = kCrashResponseWaitMs;
}

void SetCrashResponseWaitForTesting(DWORD milliseconds) { g_crash_response_wait_ms = milliseconds; }

LONG WINAPI UnhandledExceptionHandler(EXCEPTION_POINTERS* pointers) {
  if (__atomic_exchange_n(&g_crash_handling_flag, 1, __ATOMIC_SEQ_CST) != 0) {
    // Another thread owns the report; keep this one still for the handler.
    for (;;) ::SleepEx(INFINITE, FALSE);
  }
  g_crash_information.thread_id = ::GetCurrentThreadId();
  g_crash_information.exception_pointers =
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointers));
  ::SetEvent(g_crash_event);
  // The handler ends this process once its report is written.
  ::Sleep(g_crash_response_wait_ms);
  // Another thread may have crashed, or been frozen, holding the heap.
  logging::EmitCrashPathLine(__FILE__, __LINE__, logging::kError,
                             "crash server did not respond, self-terminating");
  ::TerminateProcess(::GetCurrentProcess(), kSelfTerminationExitCode);
  return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI HeapCorruptionVectoredHandler(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode == kHeapCorruptionCode) {
    UnhandledExceptionHandler(pointers);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void AbortSignalHandler(int /*signal*/) {
  CONTEXT context;
  SnapshotThreadRegisters(&context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = kFatalApplicationExitCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(context.Eip));
  EXCEPTION_POINTERS pointers = {&record, &context};
  UnhandledExceptionHandler(&pointers);
}
