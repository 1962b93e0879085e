// Registration of this process with an out-of-process crash handler.
//
// One process-wide CrashClient exists; the DLL's start-up code defines it
// (static-initialisation order is controlled there) and calls
// ConnectToHandler with the pipe name the handler announced. A successful
// registration installs the crash paths of crash_handlers.h; they stay
// installed until process exit. The client owns its vectored-handler
// registration and removes it when destroyed. The crash state it announces
// lives in crash_state.h.
//
// Registration runs inside DllMain under the loader lock, where every wait
// holds up the whole process and every other thread that loads a library.
// So no step waits without a limit, whatever the other end of the pipe does:
// a busy pipe is waited for at most kPipeWaitLimitMs in all, and the
// request/reply exchange may take at most kTransactionLimitMs; then the
// registration fails like any other.
#pragma once

#include <string>

#include "crash/crash_messages.h"
#include "platform/platform.h"

// How long a busy pipe is waited for, over all retries.
inline constexpr DWORD kPipeWaitLimitMs = 2000;
// How long the handler may take to answer the registration.
inline constexpr DWORD kTransactionLimitMs = 3000;

class CrashClient {
 public:
  CrashClient();
  ~CrashClient();
  CrashClient(const CrashClient&) = delete;
  CrashClient& operator=(const CrashClient&) = delete;

  // Registers with the handler serving `pipe_name` (which must be
  // acceptable to PipeNameRefusal, pipe_name.h). The reply's crash event
  // must be an event handle of this process that it may signal; it is kept
  // before anything that may signal it is installed. Then installs the
  // unhandled-exception filter, the heap-corruption vectored handler (first
  // in the chain) and the SIGABRT handler. False (logged) when the name is
  // refused, the handler could not be reached in time or answered wrongly;
  // nothing is installed then.
  bool ConnectToHandler(const std::wstring& pipe_name);

  const std::wstring& pipe_name() const { return pipe_name_; }

 private:
  std::wstring pipe_name_;
  void* vectored_handler_ = nullptr;
};

// The registration message announcing this process's crash state.
ClientToServerMessage MakeRegistrationMessage();

// One request/reply exchange with the handler on `pipe_name`, within the
// limits above; needs exactly 12 bytes back. Refuses a name that
// PipeNameRefusal refuses before touching it. Failures are logged.
bool SendToCrashHandlerServer(const std::wstring& pipe_name, const ClientToServerMessage& request,
                              ServerToClientMessage* reply);

// True when `handle` is an event of this process that it may signal: what a
// reply's crash event must be.
bool IsSignallableEvent(HANDLE handle);

// Tests only: the limits above, so that a test of a silent handler need not
// wait the shipped times.
void SetRegistrationLimitsForTesting(DWORD pipe_wait_ms, DWORD transaction_ms);
