#include "tools/crash_handler/event_log.h"

#include "platform/platform.h"

EventLog::~EventLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool EventLog::OpenFile(const std::wstring& path) {
  file_ = _wfsopen(path.c_str(), L"ab", _SH_DENYNO);
  return file_ != nullptr;
}

void EventLog::Write(const std::string& text) { Emit(text, true); }

void EventLog::Detail(const std::string& text) { Emit(text, verbose_); }

void EventLog::Emit(const std::string& text, bool to_console) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  std::string line = stamp + text + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (to_console) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  if (file_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
}
