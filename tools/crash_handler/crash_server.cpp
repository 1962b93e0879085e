#include "tools/crash_handler/crash_server.h"

#include <cstdio>
#include <cstring>

#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "tools/crash_handler/pipe_security.h"
#include "tools/crash_handler/registration_check.h"

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

ULONGLONG Deadline() { return ::GetTickCount64() + CrashServer::kConnectionLimitMs; }

}  // namespace

CrashServer::CrashServer(const ServerOptions& options, EventLog* log)
    : options_(options),
      log_(log),
      watcher_(WatchOptions{options.report_directory, options.ignore_crashes, options.max_clients},
               log) {}

bool CrashServer::NameIsTaken() {
  // An instance that is free makes the wait succeed at once; a name whose
  // instances are all busy times out; a name nobody serves is not found.
  if (::WaitNamedPipeW(options_.pipe_name.c_str(), 1)) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_SEM_TIMEOUT || error == ERROR_PIPE_BUSY;
}

bool CrashServer::Start() {
  const std::string taken = "error: pipe " + Narrow(options_.pipe_name) +
                            " is already served by another program; not serving it (choose "
                            "another name with --pipe)";
  if (NameIsTaken()) {
    log_->Write(taken);
    return false;
  }
  PipeSecurity security;
  if (!security.Build()) {
    log_->Write("error: " + ErrorText("making the pipe's access list"));
    return false;
  }
  for (DWORD i = 0; i < kInstances; ++i) {
    // The first instance fails if the name exists: no program can have
    // taken it between the check above and here.
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = ::CreateNamedPipeW(
        options_.pipe_name.c_str(), open_mode,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kInstances, 512, 512, 0, security.attributes());
    if (pipe == INVALID_HANDLE_VALUE) {
      if (i == 0 && ::GetLastError() == ERROR_ACCESS_DENIED) {
        log_->Write(taken);
      } else {
        log_->Write("error: cannot create pipe " + Narrow(options_.pipe_name) + ": " +
                    ErrorText("CreateNamedPipe"));
      }
      return false;
    }
    slots_[i].connection = std::make_unique<PipeConnection>(pipe);
    if (slots_[i].connection->event() == nullptr) {
      log_->Write("error: " + ErrorText("creating the pipe's events"));
      return false;
    }
  }
  if (!watcher_.Start()) return false;
  if (options_.busy_ms > 0) {
    HoldPipeBusy();
  } else {
    log_->Write("listening on " + Narrow(options_.pipe_name));
  }
  return true;
}

void CrashServer::HoldPipeBusy() {
  // Occupying every instance ourselves makes every client see a busy pipe.
  std::array<HANDLE, kInstances> held = {};
  for (HANDLE& self : held) {
    self = ::CreateFileW(options_.pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    if (self == INVALID_HANDLE_VALUE) {
      log_->Write("warning: cannot hold the pipe busy: " + ErrorText("CreateFile"));
      break;
    }
  }
  log_->Write("listening on " + Narrow(options_.pipe_name) + ", busy for " +
              std::to_string(options_.busy_ms) + " ms");
  ::Sleep(options_.busy_ms);
  for (HANDLE self : held) {
    if (self != INVALID_HANDLE_VALUE && self != nullptr) ::CloseHandle(self);
  }
  for (Slot& slot : slots_) ::DisconnectNamedPipe(slot.connection->pipe());
  log_->Write("no longer busy");
}

void CrashServer::Serve() {
  for (Slot& slot : slots_) slot.connection->Listen();
  for (;;) {
    HANDLE events[kInstances];
    DWORD timeout = INFINITE;
    const ULONGLONG now = ::GetTickCount64();
    for (DWORD i = 0; i < kInstances; ++i) {
      const PipeConnection& connection = *slots_[i].connection;
      events[i] = connection.event();
      if (connection.deadline() != 0) {
        const ULONGLONG left = connection.deadline() > now ? connection.deadline() - now : 0;
        if (left < timeout) timeout = static_cast<DWORD>(left);
      }
    }
    const DWORD which = ::WaitForMultipleObjects(kInstances, events, FALSE, timeout);
    if (which < WAIT_OBJECT_0 + kInstances) {
      Advance(&slots_[which - WAIT_OBJECT_0]);
    } else if (which != WAIT_TIMEOUT) {
      log_->Write("warning: " + ErrorText("waiting on the pipe"));
      ::Sleep(100);
    }
    const ULONGLONG after = ::GetTickCount64();
    for (Slot& slot : slots_) {
      const PipeConnection& connection = *slot.connection;
      if (connection.deadline() != 0 && connection.deadline() <= after &&
          ::WaitForSingleObject(connection.event(), 0) != WAIT_OBJECT_0) {
        TimeOut(&slot);
      }
    }
  }
}

void CrashServer::Drop(Slot* slot, const std::string& why) {
  if (!why.empty()) log_->Write(why);
  slot->client_id = 0;
  slot->connection->Reset();
}

void CrashServer::Advance(Slot* slot) {
  PipeConnection& connection = *slot->connection;
  DWORD bytes = 0;
  const DWORD error = connection.Result(&bytes);
  switch (connection.phase()) {
    case PipeConnection::Phase::kListening:
      // A client that came and went before the instance listened again
      // leaves ERROR_NO_DATA: nothing to serve, listen again.
      if (error == ERROR_NO_DATA) return Drop(slot, std::string());
      if (error != 0) {
        ::SetLastError(error);
        log_->Write("warning: " + ErrorText("ConnectNamedPipe"));
        ::Sleep(100);  // an instance that keeps failing must not spin
        return Drop(slot, std::string());
      }
      connection.Read(Deadline());
      return;
    case PipeConnection::Phase::kReading:
      if (error == ERROR_BROKEN_PIPE) {
        Drop(slot, "connection closed before a registration");
      } else if (error == ERROR_MORE_DATA) {
        Drop(slot, "refused: message of more than " + std::to_string(PipeConnection::kBufferSize) +
                       " bytes");
      } else if (error != 0) {
        ::SetLastError(error);
        Drop(slot, "refused: " + ErrorText("reading the registration"));
      } else {
        TakeRegistration(slot, bytes);
      }
      return;
    case PipeConnection::Phase::kWriting:
      if (error != 0) {
        ::SetLastError(error);
        log_->Write("warning: " + ErrorText("sending the reply"));
      }
      // The reply must be read before the connection is dropped: wait for
      // the client to close its end.
      connection.AwaitClose(Deadline());
      return;
    case PipeConnection::Phase::kAwaitingClose:
      Drop(slot, "registered process " + std::to_string(slot->client_id) + " (reply of " +
                     std::to_string(slot->reply_size) + " bytes)");
      return;
  }
}

void CrashServer::TimeOut(Slot* slot) {
  PipeConnection& connection = *slot->connection;
  connection.Cancel();
  const std::string limit = std::to_string(kConnectionLimitMs) + " ms";
  const std::string client = "process " + std::to_string(slot->client_id);
  switch (connection.phase()) {
    case PipeConnection::Phase::kListening:
      return;  // has no deadline
    case PipeConnection::Phase::kReading:
      Drop(slot, "dropped a connection that sent no registration within " + limit);
      return;
    case PipeConnection::Phase::kWriting:
      Drop(slot, "warning: " + client + " did not take its reply within " + limit +
                     "; connection dropped");
      return;
    case PipeConnection::Phase::kAwaitingClose:
      log_->Write("registered " + client + " (reply of " + std::to_string(slot->reply_size) +
                  " bytes)");
      Drop(slot,
           "warning: " + client + " kept the pipe open after its reply; dropped after " + limit);
      return;
  }
}

void CrashServer::TakeRegistration(Slot* slot, DWORD size) {
  PipeConnection& connection = *slot->connection;
  ClientToServerMessage request = {};
  std::string refusal = ReadRegistration(connection.buffer(), size, &request);
  if (!refusal.empty()) return Drop(slot, "refused: " + refusal);
  log_->Detail("registration from process " + std::to_string(request.client_process_id) + ": " +
               Hex(&request, sizeof request));
  refusal = RegistrationRefusal(request, IdentifySender(connection.pipe()));
  if (!refusal.empty()) return Drop(slot, "refused: " + refusal);
  const DWORD id = request.client_process_id;
  if (!watcher_.HasRoomFor(id)) {
    return Drop(slot, "refused: registration of process " + std::to_string(id) +
                          ": already watching " + std::to_string(options_.max_clients) +
                          " programs, the limit");
  }

  HANDLE process = ::OpenProcess(kClientAccess, FALSE, id);
  if (process == nullptr) return Drop(slot, "refused: " + ErrorText("OpenProcess"));
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE remote_event = nullptr;
  if (event == nullptr || !::DuplicateHandle(::GetCurrentProcess(), event, process, &remote_event,
                                             0, FALSE, DUPLICATE_SAME_ACCESS)) {
    const std::string why = "refused: " + ErrorText("creating the crash event");
    if (event != nullptr) ::CloseHandle(event);
    ::CloseHandle(process);
    return Drop(slot, why);
  }
  if (watcher_.Add(id, process, event, request.crash_information)) {
    log_->Write("process " + std::to_string(id) +
                " registered again; its earlier registration is replaced");
  }

  slot->client_id = id;
  slot->reply = {};
  slot->reply.crash_event = static_cast<std::uint32_t>(reinterpret_cast<UINT_PTR>(remote_event));
  slot->reply_size =
      options_.reply_size <= sizeof slot->reply ? options_.reply_size : sizeof slot->reply;
  connection.Write(&slot->reply, slot->reply_size, Deadline());
}
