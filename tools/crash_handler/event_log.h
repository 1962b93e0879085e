// The crash handler's account of what it did: one timestamped line per event
// on standard output and, when asked, appended to a log file. Shared by the
// server's threads; each line is written whole under a lock.
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

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};
