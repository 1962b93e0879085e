// The crash handler's account of what it did: one timestamped line per event
// on standard output and, when asked, appended to a log file. Details that
// only a developer reads (what a registration carried) go to the log file
// always, and to standard output only when verbose: a player's console
// shows what happened, not the protocol. Shared by the server's threads;
// each line is written whole under a lock.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

class EventLog {
 public:
  EventLog() = default;
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Opens `path` for appending; false when it cannot be opened.
  bool OpenFile(const std::wstring& path);
  // Writes "<local time> <text>" as one line.
  void Write(const std::string& text);
  // The same line, on standard output only when verbose.
  void Detail(const std::string& text);
  void SetVerbose(bool verbose) { verbose_ = verbose; }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool verbose_ = false;

  void Emit(const std::string& text, bool to_console);
};
