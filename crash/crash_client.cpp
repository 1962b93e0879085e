#include "crash/crash_client.h"

#include <winternl.h>

#include <csignal>
#include <cstdint>
#include <new>

#include "crash/crash_handlers.h"
#include "crash/crash_state.h"
#include "crash/log_message.h"
#include "crash/pipe_name.h"

namespace {

DWORD g_pipe_wait_limit_ms = kPipeWaitLimitMs;
DWORD g_transaction_limit_ms = kTransactionLimitMs;

std::uint64_t AddressOf(const void* object) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
}

// The critical section is announced to the handler, which may follow its
// debug record; initialising it a second time would corrupt the system's
// list of those records, so a repeated registration reuses it.
void InitializeDebugCriticalSectionOnce() {
  static bool initialized = false;
  if (initialized) return;
  initialized = true;
  InitializeDebugCriticalSection(&g_debug_critical_section);
}

using logging::LoggingCloseFile;

// The pipe is opened for overlapped I/O so that the exchange can be given up.
constexpr DWORD kPipeOpenFlags =
    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;

DWORD MillisecondsLeft(ULONGLONG deadline) {
  ULONGLONG now = ::GetTickCount64();
  return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Opens the pipe, waiting while it is busy until the wait limit is spent.
// INVALID_HANDLE_VALUE (logged) on failure.
HANDLE OpenPipe(const std::wstring& pipe_name) {
  const ULONGLONG deadline = ::GetTickCount64() + g_pipe_wait_limit_ms;
  for (;;) {
    HANDLE file = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, kPipeOpenFlags, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    DWORD error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY) {
      CRASH_LOG_WIN32_ERROR(error) << "CreateFile";
      return INVALID_HANDLE_VALUE;
    }
    // A time-out of 0 would mean the server's default, not "no time left".
    DWORD left = MillisecondsLeft(deadline);
    if (left == 0) {
      CRASH_LOG_WIN32_ERROR(ERROR_SEM_TIMEOUT) << "WaitNamedPipe";
      return INVALID_HANDLE_VALUE;
    }
    if (!::WaitNamedPipeW(pipe_name.c_str(), left)) {
      error = ::GetLastError();
      CRASH_LOG_WIN32_ERROR(error) << "WaitNamedPipe";
      return INVALID_HANDLE_VALUE;
    }
  }
}

// How long a cancelled transaction may take to end. Registration runs in
// DllMain, under the loader lock, where a wait without a bound is unsafe
// (Microsoft's "Dynamic-Link Library Best Practices"): a cancel the system
// does not finish in time is abandoned instead of waited for.
constexpr DWORD kCancelLimitMs = 1000;

// What the system writes into while a transaction is pending. On the heap,
// so that a transaction abandoned after a failed cancel writes into memory
// that stays valid: that block and its event are then deliberately leaked.
struct PendingTransaction {
  OVERLAPPED overlapped;
  ServerToClientMessage reply;
};

// TransactNamedPipe within the transaction limit. Returns the Win32 error
// (WAIT_TIMEOUT when the handler did not answer in time), 0 on success.
DWORD Transact(HANDLE file, const ClientToServerMessage& request, ServerToClientMessage* reply,
               DWORD* bytes_read) {
  auto* pending = new (std::nothrow) PendingTransaction{};
  if (pending == nullptr) return ERROR_OUTOFMEMORY;
  pending->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (pending->overlapped.hEvent == nullptr) {
    const DWORD error = ::GetLastError();
    delete pending;
    return error;
  }
  DWORD error = NO_ERROR;
  if (!::TransactNamedPipe(file, const_cast<ClientToServerMessage*>(&request), sizeof request,
                           &pending->reply, sizeof pending->reply, bytes_read,
                           &pending->overlapped)) {
    error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      bool timed_out = false;
      if (::WaitForSingleObject(pending->overlapped.hEvent, g_transaction_limit_ms) !=
          WAIT_OBJECT_0) {
        ::CancelIo(file);
        timed_out = true;
        if (::WaitForSingleObject(pending->overlapped.hEvent, kCancelLimitMs) != WAIT_OBJECT_0) {
          return WAIT_TIMEOUT;  // still pending: `pending` must outlive it
        }
      }
      // The operation has ended, finished or cancelled.
      if (::GetOverlappedResult(file, &pending->overlapped, bytes_read, FALSE)) {
        error = NO_ERROR;  // it finished just before the cancel
      } else {
        error = timed_out ? static_cast<DWORD>(WAIT_TIMEOUT) : ::GetLastError();
      }
    }
  }
  if (error == NO_ERROR) *reply = pending->reply;
  ::CloseHandle(pending->overlapped.hEvent);
  delete pending;
  return error;
}

}  // namespace

CrashClient::CrashClient() = default;

CrashClient::~CrashClient() {
  if (vectored_handler_ != nullptr) {
    void* handle = vectored_handler_;
    CRASH_CHECK_WIN32(::RemoveVectoredExceptionHandler(handle));
  }
}

ClientToServerMessage MakeRegistrationMessage() {
  ClientToServerMessage message = {};
  message.type = kRegistrationMessageType;
  message.version = kRegistrationVersion;
  message.client_process_id = ::GetCurrentProcessId();
  message.crash_information = AddressOf(&g_crash_information);
  message.non_crash_information = AddressOf(&g_non_crash_information);
  message.debug_critical_section = AddressOf(&g_debug_critical_section);
  return message;
}

bool IsSignallableEvent(HANDLE handle) {
  // Null and the pseudo handles (-1 this process, -2 this thread, ...) are
  // never an event; the check below would take some of them for objects.
  const std::uint32_t value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
  if (value == 0 || value >= 0xFFFFFFF0u) return false;
  // The type's description and its name after it; the layout differs
  // between system versions, the name is short.
  alignas(8) unsigned char buffer[512];
  ULONG length = 0;
  if (!NT_SUCCESS(::NtQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &length))) {
    return false;
  }
  const UNICODE_STRING& type = reinterpret_cast<PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer)->TypeName;
  static const wchar_t kEvent[] = L"Event";
  if (type.Buffer == nullptr || type.Length != (sizeof kEvent - sizeof kEvent[0])) return false;
  for (std::size_t i = 0; i < type.Length / sizeof(wchar_t); ++i) {
    if (type.Buffer[i] != kEvent[i]) return false;
  }
  PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
  if (!NT_SUCCESS(::NtQueryObject(handle, ObjectBasicInformation, &basic, sizeof basic, &length))) {
    return false;
  }
  return (basic.GrantedAccess & EVENT_MODIFY_STATE) != 0;
}

bool CrashClient::ConnectToHandler(const std::wstring& pipe_name) {
  pipe_name_ = pipe_name;
  ClientToServerMessage request = MakeRegistrationMessage();
  InitializeDebugCriticalSectionOnce();

  ServerToClientMessage reply = {};
  if (!SendToCrashHandlerServer(pipe_name_, request, &reply)) return false;

  // The crash paths signal this event; a value that is not an event this
  // process may signal would make a crash signal nothing, or something else.
  // The other two reply values are never used, so they are not examined.
  HANDLE crash_event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(reply.crash_event));
  if (!IsSignallableEvent(crash_event)) {
    CRASH_LOG_ERROR() << "reply refused: crash event " << reply.crash_event
                      << " is not an event handle of this process";
    return false;
  }
  // Kept before any crash path is installed, so that none can run without it.
  g_crash_event = crash_event;

  // The game must not be able to run its own filter first; the previous one
  // is deliberately dropped.
  ::SetUnhandledExceptionFilter(UnhandledExceptionHandler);

  void* handler = ::AddVectoredExceptionHandler(1, HeapCorruptionVectoredHandler);
  if (vectored_handler_ != nullptr) {
    void* handle = vectored_handler_;
    CRASH_CHECK_WIN32(::RemoveVectoredExceptionHandler(handle));
  }
  vectored_handler_ = handler;

  std::signal(SIGABRT, AbortSignalHandler);
  return true;
}

bool SendToCrashHandlerServer(const std::wstring& pipe_name, const ClientToServerMessage& request,
                              ServerToClientMessage* reply) {
  if (const char* refusal = PipeNameRefusal(pipe_name)) {
    CRASH_LOG_ERROR() << "pipe name refused: " << refusal;
    return false;
  }
  HANDLE file = OpenPipe(pipe_name);
  if (file == INVALID_HANDLE_VALUE) return false;

  bool result = false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(file, &mode, nullptr, nullptr)) {
    DWORD error = ::GetLastError();
    CRASH_LOG_WIN32_ERROR(error) << "SetNamedPipeHandleState";
  } else {
    DWORD bytes_read = 0;
    DWORD error = Transact(file, request, reply, &bytes_read);
    if (error != NO_ERROR) {
      CRASH_LOG_WIN32_ERROR(error) << "TransactNamedPipe";
    } else if (bytes_read != sizeof *reply) {
      CRASH_LOG_ERROR() << "TransactNamedPipe: expected " << sizeof *reply << ", observed "
                        << bytes_read;
    } else {
      result = true;
    }
  }
  CRASH_CHECK(LoggingCloseFile(file));
  return result;
}

void SetRegistrationLimitsForTesting(DWORD pipe_wait_ms, DWORD transaction_ms) {
  g_pipe_wait_limit_ms = pipe_wait_ms;
  g_transaction_limit_ms = transaction_ms;
}
