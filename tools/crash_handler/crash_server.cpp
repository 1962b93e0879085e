#include "tools/crash_handler/crash_server.h"

#include <cstdio>
#include <cstring>

#include "crash/crash_messages.h"
#include "platform/text_conversion.h"
#include "tools/crash_handler/crash_report.h"
#include "tools/crash_handler/system_error_text.h"

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!ToUtf8(text, &out)) out = "?";
  return out;
}

std::string ErrorText(const char* what) { return LastErrorText(what); }

std::string Hex(const void* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

constexpr DWORD kClientAccess = PROCESS_DUP_HANDLE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION |
                                PROCESS_TERMINATE | SYNCHRONIZE;

}  // namespace

CrashServer::CrashServer(const ServerOptions& options, EventLog* log)
    : options_(options), log_(log) {}

CrashServer::~CrashServer() {
  if (pipe_ != INVALID_HANDLE_VALUE) ::CloseHandle(pipe_);
}

bool CrashServer::Start() {
  // One instance: registrations are short, and a second client simply finds
  // the pipe busy and waits for it.
  pipe_ = ::CreateNamedPipeW(options_.pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 512, 512, 0,
                             nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) {
    log_->Write("error: cannot create pipe " + Narrow(options_.pipe_name) + ": " +
                ErrorText("CreateNamedPipe"));
    return false;
  }
  if (options_.busy_ms > 0) {
    HoldPipeBusy();
  } else {
    log_->Write("listening on " + Narrow(options_.pipe_name));
  }
  return true;
}

void CrashServer::HoldPipeBusy() {
  // Occupying the only instance ourselves makes every client see a busy pipe.
  HANDLE self = ::CreateFileW(options_.pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (self == INVALID_HANDLE_VALUE) {
    log_->Write("warning: cannot hold the pipe busy: " + ErrorText("CreateFile"));
    return;
  }
  log_->Write("listening on " + Narrow(options_.pipe_name) + ", busy for " +
              std::to_string(options_.busy_ms) + " ms");
  ::Sleep(options_.busy_ms);
  ::CloseHandle(self);
  ::DisconnectNamedPipe(pipe_);
  log_->Write("no longer busy");
}

void CrashServer::Serve() {
  for (;;) {
    if (!::ConnectNamedPipe(pipe_, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      log_->Write("warning: " + ErrorText("ConnectNamedPipe"));
      ::Sleep(100);
      continue;
    }
    ServeConnection();
    ::DisconnectNamedPipe(pipe_);
  }
}

void CrashServer::ServeConnection() {
  unsigned char buffer[64];
  DWORD size = 0;
  if (!::ReadFile(pipe_, buffer, sizeof buffer, &size, nullptr)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_BROKEN_PIPE) {
      log_->Write("connection closed before a registration");
    } else {
      log_->Write("refused: " + ErrorText("reading the registration"));
    }
    return;
  }
  ClientToServerMessage request = {};
  if (size != sizeof request) {
    log_->Write("refused: message of " + std::to_string(size) + " bytes, expected " +
                std::to_string(sizeof request));
    return;
  }
  std::memcpy(&request, buffer, sizeof request);
  log_->Write("registration from process " + std::to_string(request.client_process_id) + ": " +
              Hex(&request, sizeof request));
  if (request.type != kRegistrationMessageType || request.version != kRegistrationVersion) {
    log_->Write("refused: message type " + std::to_string(request.type) + " version " +
                std::to_string(request.version));
    return;
  }
  // The process id comes from the client; where the system can tell who is
  // on the other end of the pipe, a mismatch is refused.
  ULONG connected_id = 0;
  if (::GetNamedPipeClientProcessId(pipe_, &connected_id) &&
      connected_id != request.client_process_id) {
    log_->Write("refused: message names process " + std::to_string(request.client_process_id) +
                " but the pipe client is process " + std::to_string(connected_id));
    return;
  }

  HANDLE process = ::OpenProcess(kClientAccess, FALSE, request.client_process_id);
  if (process == nullptr) {
    log_->Write("refused: " + ErrorText("OpenProcess"));
    return;
  }
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE remote_event = nullptr;
  if (event == nullptr || !::DuplicateHandle(::GetCurrentProcess(), event, process, &remote_event,
                                             0, FALSE, DUPLICATE_SAME_ACCESS)) {
    log_->Write("refused: " + ErrorText("creating the crash event"));
    if (event != nullptr) ::CloseHandle(event);
    ::CloseHandle(process);
    return;
  }

  ServerToClientMessage reply = {};
  reply.crash_event = static_cast<std::uint32_t>(reinterpret_cast<UINT_PTR>(remote_event));
  DWORD reply_size = options_.reply_size <= sizeof reply ? options_.reply_size : sizeof reply;
  DWORD written = 0;
  if (!::WriteFile(pipe_, &reply, reply_size, &written, nullptr)) {
    log_->Write("warning: " + ErrorText("sending the reply"));
  }
  // The reply must be read before the connection is dropped: wait for the
  // client to close its end.
  DWORD ignored = 0;
  while (::ReadFile(pipe_, buffer, sizeof buffer, &ignored, nullptr)) {
  }
  log_->Write("registered process " + std::to_string(request.client_process_id) + " (reply of " +
              std::to_string(reply_size) + " bytes)");

  ++clients_watched_;
  std::thread(&CrashServer::WatchClient, this, process, request.client_process_id, event,
              request.crash_information)
      .detach();
}

void CrashServer::WatchClient(HANDLE process, DWORD process_id, HANDLE crash_event,
                              std::uint64_t crash_information) {
  std::string client = "process " + std::to_string(process_id);
  HANDLE waits[2] = {crash_event, process};
  DWORD count = 2;
  for (;;) {
    DWORD which = ::WaitForMultipleObjects(count, count == 2 ? waits : waits + 1, FALSE, INFINITE);
    if (count == 2 && which == WAIT_OBJECT_0) {
      if (options_.ignore_crashes) {
        log_->Write("crash signalled by " + client + ", ignored as asked");
        count = 1;
        continue;
      }
      CrashReport report;
      bool readable = WriteCrashReport(process, process_id, crash_information,
                                       options_.report_directory, &report);
      log_->Write("report: " + report.summary +
                  (report.dump_path.empty() ? std::string() : " dump " + Narrow(report.dump_path)) +
                  (report.summary_path.empty() ? std::string()
                                               : " summary " + Narrow(report.summary_path)));
      if (!report.error.empty()) log_->Write("warning: " + report.error);
      ++reports_written_;
      // Without the exception code the client ends with a plain failure code.
      ::TerminateProcess(process, readable ? report.exception_code : 1);
      break;
    }
    if (which == WAIT_OBJECT_0 + (count == 2 ? 1 : 0)) {
      DWORD code = 0;
      ::GetExitCodeProcess(process, &code);
      char text[64];
      std::snprintf(text, sizeof text, "%s ended with exit code 0x%08lX", client.c_str(),
                    static_cast<unsigned long>(code));
      log_->Write(text);
      break;
    }
    log_->Write("warning: " + ErrorText(("waiting for " + client).c_str()));
    break;
  }
  ::CloseHandle(crash_event);
  ::CloseHandle(process);
  --clients_watched_;
}

void CrashServer::WaitForClients(DWORD timeout_ms) {
  for (DWORD waited = 0; clients_watched_.load() > 0 && waited < timeout_ms; waited += 50) {
    ::Sleep(50);
  }
}
