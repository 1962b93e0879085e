// A program that the whole-process crash tests start with a mode argument:
// it registers with a crash handler, reports what it observed on standard
// output (one fact per line), and then crashes in the way the mode names.

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crash/crash_client.h"
#include "crash/crash_handlers.h"
#include "crash/crash_state.h"
#include "crash/log_message.h"
#include "crash/null_write_probe.h"
#include "crash/pipe_name.h"
#include "platform/platform.h"

// The runtime's own lock of its heap (msvcrt's _HEAP_LOCK), where it has one.
extern "C" __declspec(dllimport) void __cdecl _lock(int lock);

namespace {

CrashClient g_client;
HANDLE g_start_crashing;

bool PrintLogLine(int, const char*, int, std::size_t message_start, const std::string& text) {
  std::printf("log: %s", text.c_str() + message_start);
  return true;
}

std::wstring Wide(const char* text) {
  std::wstring out;
  for (const char* p = text; *p != '\0'; ++p) out += static_cast<wchar_t>(*p);
  return out;
}

bool Register(const char* pipe) {
  std::printf("connecting\n");
  ULONGLONG start = ::GetTickCount64();
  bool connected = g_client.ConnectToHandler(Wide(pipe));
  std::printf("connect=%d elapsed=%llu\n", connected ? 1 : 0,
              static_cast<unsigned long long>(::GetTickCount64() - start));
  std::printf("addresses %08lx %08lx %08lx\n",
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(&g_crash_information)),
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(&g_non_crash_information)),
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(&g_debug_critical_section)));
  // What a registration left behind: the kept event and the filter in force.
  LPTOP_LEVEL_EXCEPTION_FILTER filter = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(filter);
  std::printf("crash event %s, filter %s\n", g_crash_event != nullptr ? "kept" : "unset",
              filter == UnhandledExceptionHandler ? "installed" : "not installed");
  return connected;
}

// Holds the heap locks that an allocation needs, as a thread frozen or
// crashed inside the allocator would: the process heap, the runtime's heap
// and the runtime's heap lock.
HANDLE g_heap_locked;

DWORD WINAPI HoldHeapLocks(void*) {
  ::HeapLock(::GetProcessHeap());
  HANDLE runtime_heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  if (runtime_heap != ::GetProcessHeap()) ::HeapLock(runtime_heap);
  _lock(4);  // _HEAP_LOCK
  ::SetEvent(g_heap_locked);
  ::Sleep(INFINITE);
  return 0;
}

// Stands between the crash path and the handler: reports what the crash
// information holds at the moment the crash is signalled, then passes the
// signal on to the handler's event.
HANDLE g_handler_event;
HANDLE g_witness_event;

DWORD WINAPI Witness(void*) {
  for (;;) {
    ::WaitForSingleObject(g_witness_event, INFINITE);
    auto* pointers = reinterpret_cast<EXCEPTION_POINTERS*>(
        static_cast<UINT_PTR>(g_crash_information.exception_pointers));
    std::printf("signalled thread %lu exception 0x%08lX address 0x%08lX high %lu\n",
                static_cast<unsigned long>(g_crash_information.thread_id),
                static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode),
                static_cast<unsigned long>(
                    reinterpret_cast<UINT_PTR>(pointers->ExceptionRecord->ExceptionAddress)),
                static_cast<unsigned long>(g_crash_information.exception_pointers >> 32));
    ::SetEvent(g_handler_event);
  }
}

void InterposeWitness() {
  g_handler_event = g_crash_event;
  g_witness_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_crash_event = g_witness_event;
  ::CloseHandle(::CreateThread(nullptr, 0, Witness, nullptr, 0, nullptr));
}

void PrintThread() {
  std::printf("thread %lu\n", static_cast<unsigned long>(::GetCurrentThreadId()));
}

// Through a pointer the compiler cannot see is null: a visible null store
// would be compiled into a trap instruction instead of an access violation.
int* volatile g_null_pointer = nullptr;
void WriteToNull() { *g_null_pointer = 1; }

DWORD WINAPI CrashWhenReleased(void*) {
  ::WaitForSingleObject(g_start_crashing, INFINITE);
  WriteToNull();
  return 0;
}

LONG WINAPI SwallowHeapCorruption(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kHeapCorruptionCode) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  std::printf("swallowed\n");
  return EXCEPTION_CONTINUE_EXECUTION;
}

int LogFatal() {
  logging::LogLineHook = PrintLogLine;
  CRASH_CHECK(1 + 1 == 3);
  std::printf("survived a fatal line swallowed by the hook\n");
  logging::LogLineHook = nullptr;  // the shipped settings: mask 1, no hook
  CRASH_LOG_ERROR() << "an error nobody sees";
  CRASH_CHECK(1 + 1 == 3);
  std::printf("survived a fatal line\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::fprintf(stderr, "usage: crash_test_child MODE [PIPE [WAIT_MS]]\n");
    return 2;
  }
  std::string mode = argv[1];
  const char* pipe = argc > 2 ? argv[2] : "";
  if (mode == "log-fatal") return LogFatal();
  if (mode == "null-write-code") {
    // For scripts that check a crash report's exception code.
    std::printf("0x%08lX\n", static_cast<unsigned long>(NullWriteExceptionCode()));
    return 0;
  }

  if (mode == "crash-heap-locked") {
    // The shipped log settings, but standard error selected, to show the
    // line the crash path still writes.
    logging::LogOutputMask = logging::kLogToStandardError;
    if (argc > 3) SetCrashResponseWaitForTesting(static_cast<DWORD>(std::atoi(argv[3])));
    if (!Register(pipe)) return 10;
    g_heap_locked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::CloseHandle(::CreateThread(nullptr, 0, HoldHeapLocks, nullptr, 0, nullptr));
    ::WaitForSingleObject(g_heap_locked, INFINITE);
    WriteToNull();
    return 0;
  }

  logging::LogLineHook = PrintLogLine;
  if (mode == "announced") {
    std::wstring announced;
    if (ReadAnnouncedPipeName(&announced)) {
      std::printf("announced %u characters\n", static_cast<unsigned>(announced.size()));
      ULONGLONG start = ::GetTickCount64();
      bool connected = g_client.ConnectToHandler(announced);
      std::printf("announced connect=%d elapsed=%llu\n", connected ? 1 : 0,
                  static_cast<unsigned long long>(::GetTickCount64() - start));
    } else {
      std::printf("no variable\n");
    }
    if (argc > 2) Register(pipe);
    return 0;
  }
  if (mode == "register") {
    Register(pipe);
    return 0;
  }
  if (mode == "crash-heap") {
    // Installed before registration: the crash path must still come first.
    ::AddVectoredExceptionHandler(1, SwallowHeapCorruption);
  }
  if (mode == "crash-unanswered" && argc > 3) {
    SetCrashResponseWaitForTesting(static_cast<DWORD>(std::atoi(argv[3])));
  }
  if (!Register(pipe)) return 10;
  InterposeWitness();

  if (mode == "crash-access" || mode == "crash-unanswered") {
    PrintThread();
    WriteToNull();
  } else if (mode == "crash-abort") {
    PrintThread();
    std::abort();
  } else if (mode == "crash-heap") {
    PrintThread();
    ::RaiseException(kHeapCorruptionCode, 0, 0, nullptr);
  } else if (mode == "crash-two-threads") {
    g_start_crashing = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 2; ++i) {
      DWORD id = 0;
      ::CloseHandle(::CreateThread(nullptr, 0, CrashWhenReleased, nullptr, 0, &id));
      std::printf("thread %lu\n", static_cast<unsigned long>(id));
    }
    ::SetEvent(g_start_crashing);
    ::Sleep(INFINITE);
  } else {
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  std::printf("survived\n");
  return 0;
}
