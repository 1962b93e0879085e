// The handler side of the crash pipe protocol.
//
// Serves kInstances instances of one message-mode pipe from one thread with
// overlapped I/O: each connection carries one 36-byte registration,
// answered with 12 bytes whose first value is an event duplicated into the
// client; the ClientWatcher then watches the client. No other program may
// stall, flood or take over the pipe:
//  - every step of a connection after the client arrives has a time limit
//    (kConnectionLimitMs), so a client that holds an instance without
//    registering, or without taking its reply, loses it, and while one
//    instance is held the others serve;
//  - the registrations watched are bounded (ClientWatcher), and one more is
//    refused by closing the connection without a reply, which the patch
//    takes as a failed registration;
//  - the first instance is created with FILE_FLAG_FIRST_PIPE_INSTANCE after
//    checking that nobody serves the name yet, and all instances are made
//    at start with the instance limit reached, so nobody can serve the name
//    beside the handler; Start fails, loudly, when the name is taken;
//  - remote clients are rejected, and the pipe's access list admits the
//    current user only (PipeSecurity).
// The test behaviours (short replies, a busy pipe, ignored crashes) exist so
// that the client's failure paths can be exercised against a real process.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "crash/crash_messages.h"
#include "platform/platform.h"
#include "tools/crash_handler/client_watcher.h"
#include "tools/crash_handler/event_log.h"
#include "tools/crash_handler/pipe_connection.h"

struct ServerOptions {
  std::wstring pipe_name;
  std::wstring report_directory;
  DWORD max_clients = kMaxWatchedClients;
  DWORD reply_size = 12;        // test behaviour: answer with fewer bytes
  DWORD busy_ms = 0;            // test behaviour: keep the pipe busy after start
  bool ignore_crashes = false;  // test behaviour: never act on a crash event
};

class CrashServer {
 public:
  static constexpr DWORD kInstances = 4;
  // How long a client may take for each step: to send its registration
  // once connected, to take the reply, to close its end afterwards.
  static constexpr DWORD kConnectionLimitMs = 2000;

  CrashServer(const ServerOptions& options, EventLog* log);
  CrashServer(const CrashServer&) = delete;
  CrashServer& operator=(const CrashServer&) = delete;

  // Creates the pipe's instances and starts the watcher; false (logged)
  // when the name is taken or the pipe cannot be created.
  bool Start();
  // Serves registrations until the process ends. Runs on the calling thread.
  void Serve();
  // Number of crash reports written so far.
  int reports_written() const { return watcher_.reports_written(); }
  // Waits until no registered client is left (they end or are ended).
  void WaitForClients(DWORD timeout_ms) { watcher_.WaitUntilIdle(timeout_ms); }

 private:
  // A connection and what the server keeps of its client while it is served.
  struct Slot {
    std::unique_ptr<PipeConnection> connection;
    DWORD client_id = 0;
    DWORD reply_size = 0;
    ServerToClientMessage reply = {};
  };

  bool NameIsTaken();
  void HoldPipeBusy();
  // Goes on with a slot whose operation has ended.
  void Advance(Slot* slot);
  // Gives up a slot whose operation has overrun its deadline.
  void TimeOut(Slot* slot);
  // Answers a registration read on `slot`, or refuses it (and drops the
  // connection).
  void TakeRegistration(Slot* slot, DWORD size);
  void Drop(Slot* slot, const std::string& why);

  ServerOptions options_;
  EventLog* log_;
  ClientWatcher watcher_;
  std::array<Slot, kInstances> slots_;
};
