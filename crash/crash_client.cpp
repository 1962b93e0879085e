#include "crash/crash_client.h"

#include <csignal>
#include <cstdint>

#include "crash/crash_handlers.h"
#include "crash/crash_state.h"
#include "crash/log_message.h"

namespace {

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

constexpr DWORD kSecurityIdentificationFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

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

bool CrashClient::ConnectToHandler(const std::wstring& pipe_name) {
  pipe_name_ = pipe_name;
  ClientToServerMessage request = MakeRegistrationMessage();
  InitializeDebugCriticalSectionOnce();

  ServerToClientMessage reply = {};
  if (!SendToCrashHandlerServer(pipe_name_, request, &reply)) return false;

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

  g_crash_event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(reply.crash_event));
  return true;
}

bool SendToCrashHandlerServer(const std::wstring& pipe_name, const ClientToServerMessage& request,
                              ServerToClientMessage* reply) {
  HANDLE file;
  for (;;) {
    file = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         kSecurityIdentificationFlags, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    DWORD error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY) {
      CRASH_LOG_WIN32_ERROR(error) << "CreateFile";
      return false;
    }
    if (!::WaitNamedPipeW(pipe_name.c_str(), NMPWAIT_WAIT_FOREVER)) {
      error = ::GetLastError();
      CRASH_LOG_WIN32_ERROR(error) << "WaitNamedPipe";
      return false;
    }
  }

  bool result = false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(file, &mode, nullptr, nullptr)) {
    DWORD error = ::GetLastError();
    CRASH_LOG_WIN32_ERROR(error) << "SetNamedPipeHandleState";
  } else {
    DWORD bytes_read = 0;
    if (!::TransactNamedPipe(file, const_cast<ClientToServerMessage*>(&request), sizeof request,
                             reply, sizeof *reply, &bytes_read, nullptr)) {
      DWORD error = ::GetLastError();
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

bool ReadAnnouncedPipeName(std::wstring* name) {
  wchar_t buffer[512];
  DWORD length = ::GetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", buffer, 512);
  if (length == 0 || length >= 512) return false;
  name->assign(buffer, length);
  return true;
}
