// Stream-style log messages of the crash-reporting code.
//
// A message is created where a failure happens, with its source file, line
// and severity; the prefix "[pid:tid:yyyymmdd,hhmmss.mmm:SEVERITY file:line] "
// is written at once, the caller streams the text into stream(), and the
// destructor emits the finished line. FATAL messages then stop the process
// with a breakpoint exception, which is how failed internal checks end.
//
// Where lines go is decided by the process-wide LogOutputMask and LogLineHook.
// The shipped values (mask 1, no hook) select no destination: lines are built
// and dropped. Tests replace the mask, the hook and the LogEnvironment seams
// (clock, ids, destinations) to observe the exact lines. A message lives for
// one statement on the issuing thread's stack; emitting takes no lock.
//
// A message's text grows on the heap, which a crashed or frozen thread may
// hold locked. The crash path therefore logs through EmitCrashPathLine,
// which formats the same line in fixed storage on the caller's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace logging {

// Severities; negative values are verbose levels ("VERBOSE1" for -1, ...).
inline constexpr int kInfo = 0;
inline constexpr int kWarning = 1;
inline constexpr int kError = 2;
inline constexpr int kErrorReport = 3;
inline constexpr int kFatal = 4;

// Destination bits of LogOutputMask.
inline constexpr std::uint32_t kLogToDebugger = 2;
inline constexpr std::uint32_t kLogToStandardError = 4;

// Called with every finished line (newline included); returning true
// swallows the line: nothing is written and a FATAL message does not stop.
using LogLineHookFunction = bool (*)(int severity, const char* file, int line,
                                     std::size_t message_start, const std::string& text);

// 1 in this system: no destination selected.
extern std::uint32_t LogOutputMask;
// Null in this system.
extern LogLineHookFunction LogLineHook;

// Where the facility gets time and ids and where it writes. Every member is
// null in the shipped system, which means the real Windows source or
// destination; tests set them to fixed values or recorders.
struct LogEnvironment {
  void (*get_local_time)(SYSTEMTIME* time);
  DWORD (*get_process_id)();
  DWORD (*get_thread_id)();
  void (*write_standard_error)(const std::string& line);
  void (*write_debugger)(const std::wstring& line);
};
extern LogEnvironment g_log_environment;

// The system's text for a Win32 error code: "<text> (<code>)", or
// "Error <n> while retrieving error <code>" when there is none.
std::string Win32ErrorText(DWORD code);

// The name of a severity as it appears in the line prefix.
std::string SeverityName(int severity);

class LogMessage {
 public:
  LogMessage(const char* file, int line, int severity);
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  virtual ~LogMessage();

  std::ostream& stream() { return stream_; }

 protected:
  // Appends the newline and sends the line to the hook or the destinations;
  // stops the process after a FATAL line that the hook did not swallow.
  void Emit();
  // Set by a derived destructor that already emitted, so the base stays quiet.
  bool emitted_ = false;

 private:
  std::ostringstream stream_;
  const char* file_;
  std::size_t message_start_;
  int line_;
  int severity_;
};

class LogMessageFatal : public LogMessage {
 public:
  LogMessageFatal(const char* file, int line);
  ~LogMessageFatal() override;
};

class Win32ErrorLogMessage : public LogMessage {
 public:
  // `error` is read by the caller from GetLastError before the message
  // exists, so that building the prefix cannot change it.
  Win32ErrorLogMessage(const char* file, int line, int severity, DWORD error);
  ~Win32ErrorLogMessage() override;

 private:
  DWORD error_;
};

class Win32ErrorLogMessageFatal : public Win32ErrorLogMessage {
 public:
  Win32ErrorLogMessageFatal(const char* file, int line, DWORD error);
  ~Win32ErrorLogMessageFatal() override;
};

// CloseHandle that logs "CloseHandle" with the Win32 error on failure.
bool LoggingCloseFile(HANDLE file);

// Emits one whole line of the crash path: "<prefix><text>" as a LogMessage
// would, but built in fixed storage on the stack, so that it takes neither
// the heap nor a lock of the runtime. The shipped settings (mask 1, no hook)
// write it nowhere. Standard error is written with WriteFile, not through the
// runtime's stream and its lock; the debugger destination is not served here
// (the system's debugger output allocates). A set LogLineHook, which only
// tests install, receives the line as a std::string and so may allocate.
// A FATAL line stops the process as a FATAL message does. Text beyond
// FixedText::kCapacity is cut off.
void EmitCrashPathLine(const char* file, int line, int severity, const char* text);

}  // namespace logging

// Internal checks of the crash code: a failed one emits
// "Check failed: <expression>. " as a FATAL line and stops the process.
#define CRASH_CHECK(condition) \
  if (condition) {             \
  } else                       \
    ::logging::LogMessageFatal(__FILE__, __LINE__).stream() << "Check failed: " #condition ". "

// As CRASH_CHECK for a Win32 call that sets the last error when it fails.
#define CRASH_CHECK_WIN32(condition)                                                    \
  if (condition) {                                                                      \
  } else                                                                                \
    ::logging::Win32ErrorLogMessageFatal(__FILE__, __LINE__, ::GetLastError()).stream() \
        << "Check failed: " #condition ". "

#define CRASH_LOG_ERROR() ::logging::LogMessage(__FILE__, __LINE__, ::logging::kError).stream()
#define CRASH_LOG_WIN32_ERROR(error) \
  ::logging::Win32ErrorLogMessage(__FILE__, __LINE__, ::logging::kError, (error)).stream()
