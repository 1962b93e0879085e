// The registered clients of the crash handler and the one thread that
// watches them all: for each client, its crash event (signalled by the
// client's crash path) and its process (which may end without a crash).
// On a crash the watcher writes the report (crash_report.h) and ends the
// client with the exception code; on an exit it logs the exit code and
// forgets the client.
//
// The number of clients is bounded (one wait of the system takes at most 64
// handles: two per client and the watcher's own wake-up event), and one
// process holds at most one registration: a process that registers again
// replaces its earlier registration. So no sequence of registrations makes
// the handler start threads or hold handles without limit. The serving
// thread adds clients; only the watcher thread closes their handles.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/crash_handler/event_log.h"

// The most clients one wait of the system can watch.
inline constexpr DWORD kMaxWatchedClients = (MAXIMUM_WAIT_OBJECTS - 1) / 2;

struct WatchOptions {
  std::wstring report_directory;
  bool ignore_crashes = false;  // test behaviour: never act on a crash event
  DWORD max_clients = kMaxWatchedClients;
};

class ClientWatcher {
 public:
  ClientWatcher(const WatchOptions& options, EventLog* log);
  ClientWatcher(const ClientWatcher&) = delete;
  ClientWatcher& operator=(const ClientWatcher&) = delete;

  // Starts the watcher thread; false (logged) when it cannot.
  bool Start();
  // Whether a registration of `process_id` can be taken now: it replaces
  // one of the same process, or there is room for another client.
  bool HasRoomFor(DWORD process_id);
  // Watches a client from now on, taking `process` and `crash_event`
  // (handles of this process). True when it replaced an earlier
  // registration of the same process. Call HasRoomFor first.
  bool Add(DWORD process_id, HANDLE process, HANDLE crash_event, std::uint64_t crash_information);
  // Clients watched (or about to be).
  DWORD count();
  int reports_written() const { return reports_written_.load(); }
  // Waits until no client is watched, at most `timeout_ms`.
  void WaitUntilIdle(DWORD timeout_ms);

 private:
  struct Client {
    DWORD process_id = 0;
    HANDLE process = nullptr;
    HANDLE crash_event = nullptr;
    std::uint64_t crash_information = 0;
    bool crash_ignored = false;
  };

  void Run();
  // Moves the clients added since the last wait into the watched list,
  // closing the handles of the registrations they replace.
  void TakeAdded();
  void Forget(std::size_t index);
  void ReportCrash(std::size_t index);

  WatchOptions options_;
  EventLog* log_;
  HANDLE wake_ = nullptr;
  std::mutex mutex_;
  std::vector<Client> added_;    // under mutex_
  std::vector<Client> watched_;  // the watcher thread's own; its size under mutex_
  std::atomic<int> reports_written_{0};
};
