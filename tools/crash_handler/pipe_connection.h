// One instance of the crash handler's pipe and the one overlapped operation
// in progress on it: waiting for a client, reading its registration,
// writing the reply, or waiting for the client to close its end.
//
// Every operation but the wait for a client carries a deadline, so that a
// client that connects and then does nothing (or reads nothing) holds the
// instance for a bounded time only; the server gives it up with Cancel.
// The server waits on event() of all its instances at once. Owns the pipe
// handle and its event.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class PipeConnection {
 public:
  enum class Phase { kListening, kReading, kWriting, kAwaitingClose };
  static constexpr DWORD kBufferSize = 64;  // more than any message of the protocol

  explicit PipeConnection(HANDLE pipe);
  ~PipeConnection();
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  HANDLE pipe() const { return pipe_; }
  // Signalled when the operation in progress has ended.
  HANDLE event() const { return overlapped_.hEvent; }
  Phase phase() const { return phase_; }
  // When the operation in progress must have ended (GetTickCount64); 0
  // while listening, which may take as long as no client comes.
  ULONGLONG deadline() const { return deadline_; }

  // Starts waiting for a client.
  void Listen();
  // Starts reading one message into buffer().
  void Read(ULONGLONG deadline);
  // Starts writing `size` bytes of `data`, which must stay valid until the
  // write has ended.
  void Write(const void* data, DWORD size, ULONGLONG deadline);
  // Starts waiting for the client to close its end (a read that fails).
  void AwaitClose(ULONGLONG deadline);

  // The result of the operation that ended: 0 or a Win32 error, and the
  // bytes it moved.
  DWORD Result(DWORD* bytes);
  // Gives up the operation in progress and waits until it has ended.
  void Cancel();
  // Drops the client, if any, and listens again.
  void Reset();

  const unsigned char* buffer() const { return buffer_; }

 private:
  // Records how a call that starts an operation went: pending, or already
  // ended (then the event is set by hand, so that the server sees it).
  void Started(BOOL done);

  HANDLE pipe_;
  OVERLAPPED overlapped_ = {};
  Phase phase_ = Phase::kListening;
  ULONGLONG deadline_ = 0;
  bool ended_at_start_ = false;
  DWORD start_error_ = 0;
  unsigned char buffer_[kBufferSize] = {};
};
