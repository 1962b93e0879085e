// The handler side of the crash pipe protocol.
//
// Serves one message-mode pipe with a single instance: each connection
// carries one 36-byte registration, answered with 12 bytes whose first value
// is an event duplicated into the client. A thread per registered client then
// waits for that event or the client's exit; on the event it writes the crash
// report (crash_report.h) and ends the client with the exception code.
// The test behaviours (short replies, a busy pipe, ignored crashes) exist so
// that the client's failure paths can be exercised against a real process.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/crash_handler/event_log.h"

struct ServerOptions {
  std::wstring pipe_name;
  std::wstring report_directory;
  DWORD reply_size = 12;        // test behaviour: answer with fewer bytes
  DWORD busy_ms = 0;            // test behaviour: keep the pipe busy after start
  bool ignore_crashes = false;  // test behaviour: never act on a crash event
};

class CrashServer {
 public:
  CrashServer(const ServerOptions& options, EventLog* log);
  ~CrashServer();
  CrashServer(const CrashServer&) = delete;
  CrashServer& operator=(const CrashServer&) = delete;

  // Creates the pipe; false (logged) when it cannot be created.
  bool Start();
  // Accepts registrations until the process ends. Runs on the calling thread.
  void Serve();
  // Number of crash reports written so far.
  int reports_written() const { return reports_written_.load(); }
  // Waits for the threads of registered clients that are writing a report.
  void WaitForClients(DWORD timeout_ms);

 private:
  void HoldPipeBusy();
  void ServeConnection();
  void WatchClient(HANDLE process, DWORD process_id, HANDLE crash_event,
                   std::uint64_t crash_information);

  ServerOptions options_;
  EventLog* log_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::atomic<int> reports_written_{0};
  std::atomic<int> clients_watched_{0};
};
