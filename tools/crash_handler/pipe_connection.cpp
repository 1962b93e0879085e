#include "tools/crash_handler/pipe_connection.h"

PipeConnection::PipeConnection(HANDLE pipe) : pipe_(pipe) {
  overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

PipeConnection::~PipeConnection() {
  Cancel();
  ::CloseHandle(pipe_);
  if (overlapped_.hEvent != nullptr) ::CloseHandle(overlapped_.hEvent);
}

void PipeConnection::Started(BOOL done) {
  DWORD error = done ? 0 : ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    ended_at_start_ = false;
    return;
  }
  // A client that connected before the wait began is no error.
  if (phase_ == Phase::kListening && error == ERROR_PIPE_CONNECTED) error = 0;
  ended_at_start_ = true;
  start_error_ = error;
  ::SetEvent(overlapped_.hEvent);
}

void PipeConnection::Listen() {
  phase_ = Phase::kListening;
  deadline_ = 0;
  ::ResetEvent(overlapped_.hEvent);
  Started(::ConnectNamedPipe(pipe_, &overlapped_));
}

void PipeConnection::Read(ULONGLONG deadline) {
  phase_ = Phase::kReading;
  deadline_ = deadline;
  ::ResetEvent(overlapped_.hEvent);
  Started(::ReadFile(pipe_, buffer_, kBufferSize, nullptr, &overlapped_));
}

void PipeConnection::Write(const void* data, DWORD size, ULONGLONG deadline) {
  phase_ = Phase::kWriting;
  deadline_ = deadline;
  ::ResetEvent(overlapped_.hEvent);
  Started(::WriteFile(pipe_, data, size, nullptr, &overlapped_));
}

void PipeConnection::AwaitClose(ULONGLONG deadline) {
  phase_ = Phase::kAwaitingClose;
  deadline_ = deadline;
  ::ResetEvent(overlapped_.hEvent);
  Started(::ReadFile(pipe_, buffer_, kBufferSize, nullptr, &overlapped_));
}

DWORD PipeConnection::Result(DWORD* bytes) {
  *bytes = 0;
  if (ended_at_start_) {
    // A call that ended at once still reports its byte count here; its
    // error, if any, was recorded when it was made.
    if (start_error_ == 0 && phase_ != Phase::kListening) {
      ::GetOverlappedResult(pipe_, &overlapped_, bytes, FALSE);
    }
    return start_error_;
  }
  if (::GetOverlappedResult(pipe_, &overlapped_, bytes, FALSE)) return 0;
  return ::GetLastError();
}

void PipeConnection::Cancel() {
  if (ended_at_start_ || ::WaitForSingleObject(overlapped_.hEvent, 0) == WAIT_OBJECT_0) return;
  ::CancelIo(pipe_);
  DWORD bytes = 0;
  ::GetOverlappedResult(pipe_, &overlapped_, &bytes, TRUE);
}

void PipeConnection::Reset() {
  Cancel();
  ::DisconnectNamedPipe(pipe_);
  Listen();
}
