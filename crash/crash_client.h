// Registration of this process with an out-of-process crash handler.
//
// One process-wide CrashClient exists; the DLL's start-up code defines it
// (static-initialisation order is controlled there) and calls
// ConnectToHandler with the pipe name the handler announced. A successful
// registration installs the crash paths of crash_handlers.h; they stay
// installed until process exit. The client owns its vectored-handler
// registration and removes it when destroyed. The crash state it announces
// lives in crash_state.h.
#pragma once

#include <string>

#include "crash/crash_messages.h"
#include "platform/platform.h"

class CrashClient {
 public:
  CrashClient();
  ~CrashClient();
  CrashClient(const CrashClient&) = delete;
  CrashClient& operator=(const CrashClient&) = delete;

  // Registers with the handler serving `pipe_name`, then installs the
  // unhandled-exception filter, the heap-corruption vectored handler (first
  // in the chain) and the SIGABRT handler. False (logged) when the handler
  // could not be reached or answered wrongly; nothing is installed then.
  bool ConnectToHandler(const std::wstring& pipe_name);

  const std::wstring& pipe_name() const { return pipe_name_; }

 private:
  std::wstring pipe_name_;
  void* vectored_handler_ = nullptr;
};

// The registration message announcing this process's crash state.
ClientToServerMessage MakeRegistrationMessage();

// One request/reply exchange with the handler on `pipe_name`: waits as long
// as the pipe is busy, needs exactly 12 bytes back. Failures are logged.
bool SendToCrashHandlerServer(const std::wstring& pipe_name, const ClientToServerMessage& request,
                              ServerToClientMessage* reply);

// The pipe name a handler announces in "CRASHPAD_PIPE_NAME" (at most 511
// characters); false when the variable is unset, empty or too long.
bool ReadAnnouncedPipeName(std::wstring* name);
