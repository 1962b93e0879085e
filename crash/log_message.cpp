#include "crash/log_message.h"

#include <cstdio>

#include "crash/fixed_text.h"

namespace logging {

std::uint32_t LogOutputMask = 1;
LogLineHookFunction LogLineHook = nullptr;
LogEnvironment g_log_environment = {};

namespace {

const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return name;
}

std::string Utf16ToUtf8Lenient(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  // No WC_ERR_INVALID_CHARS: an unpaired surrogate becomes U+FFFD.
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring Utf8ToUtf16Lenient(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = static_cast<int>(text.size());
  // No MB_ERR_INVALID_CHARS: an invalid sequence becomes U+FFFD.
  int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
  return out;
}

[[noreturn]] void StopWithBreakpoint() {
  __asm__ volatile("int3");
  // Only reached when a debugger continued the breakpoint: a fatal line
  // still means the process must not go on.
  ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_BREAKPOINT);
  for (;;) ::Sleep(INFINITE);
}

void AppendSeverityName(FixedText* out, int severity) {
  switch (severity) {
    case kInfo:
      out->Append("INFO");
      return;
    case kWarning:
      out->Append("WARNING");
      return;
    case kError:
      out->Append("ERROR");
      return;
    case kErrorReport:
      out->Append("ERROR_REPORT");
      return;
    case kFatal:
      out->Append("FATAL");
      return;
  }
  if (severity < 0) {
    out->Append("VERBOSE").AppendDecimal(-static_cast<long long>(severity));
  } else {
    out->Append("UNKNOWN");
  }
}

// "[pid:tid:yyyymmdd,hhmmss.mmm:SEVERITY file:line] ", in fixed storage, so
// that the crash path can build it too.
void FormatLinePrefix(FixedText* out, const char* file, int line, int severity) {
  const LogEnvironment& env = g_log_environment;
  DWORD process_id = env.get_process_id ? env.get_process_id() : ::GetCurrentProcessId();
  DWORD thread_id = env.get_thread_id ? env.get_thread_id() : ::GetCurrentThreadId();
  SYSTEMTIME time = {};
  if (env.get_local_time) {
    env.get_local_time(&time);
  } else {
    ::GetLocalTime(&time);
  }
  out->Append('[').AppendUnsigned(process_id).Append(':').AppendUnsigned(thread_id).Append(':');
  out->AppendUnsigned(time.wYear, 4).AppendUnsigned(time.wMonth, 2).AppendUnsigned(time.wDay, 2);
  out->Append(',').AppendUnsigned(time.wHour, 2).AppendUnsigned(time.wMinute, 2);
  out->AppendUnsigned(time.wSecond, 2).Append('.').AppendUnsigned(time.wMilliseconds, 3);
  out->Append(':');
  AppendSeverityName(out, severity);
  out->Append(' ').Append(FileNameOf(file)).Append(':').AppendDecimal(line).Append("] ");
}

// Writes to standard error without the runtime's stream lock.
void WriteStandardErrorDirectly(const char* text, std::size_t size) {
  HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(error, text, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace

std::string SeverityName(int severity) {
  FixedText name;
  AppendSeverityName(&name, severity);
  return name.c_str();
}

std::string Win32ErrorText(DWORD code) {
  wchar_t buffer[256];
  DWORD written = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, code, 0, buffer, 256, nullptr);
  char text[600];
  if (written == 0) {
    std::snprintf(text, sizeof text, "Error %lu while retrieving error %lu",
                  static_cast<unsigned long>(::GetLastError()), static_cast<unsigned long>(code));
    return text;
  }
  // The width mask turns the system text's final line break into a space.
  if (buffer[written - 1] == L' ') --written;
  std::string utf8 = Utf16ToUtf8Lenient(buffer, static_cast<int>(written));
  std::snprintf(text, sizeof text, "%s (%lu)", utf8.c_str(), static_cast<unsigned long>(code));
  return text;
}

LogMessage::LogMessage(const char* file, int line, int severity)
    : file_(file), line_(line), severity_(severity) {
  FixedText prefix;
  FormatLinePrefix(&prefix, file, line, severity);
  stream_.write(prefix.c_str(), static_cast<std::streamsize>(prefix.size()));
  message_start_ = prefix.size();
}

LogMessage::~LogMessage() {
  if (!emitted_) Emit();
}

void LogMessage::Emit() {
  emitted_ = true;
  stream_ << '\n';
  std::string text = stream_.str();
  if (LogLineHook != nullptr && LogLineHook(severity_, file_, line_, message_start_, text)) return;

  const LogEnvironment& env = g_log_environment;
  if (LogOutputMask & kLogToStandardError) {
    if (env.write_standard_error) {
      env.write_standard_error(text);
    } else {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    }
  }
  if (LogOutputMask & kLogToDebugger) {
    std::wstring wide = Utf8ToUtf16Lenient(text);
    if (env.write_debugger) {
      env.write_debugger(wide);
    } else {
      ::OutputDebugStringW(wide.c_str());
    }
  }
  if (severity_ == kFatal) StopWithBreakpoint();
}

LogMessageFatal::LogMessageFatal(const char* file, int line) : LogMessage(file, line, kFatal) {}

// The base destructor emits the line and stops the process.
LogMessageFatal::~LogMessageFatal() = default;

Win32ErrorLogMessage::Win32ErrorLogMessage(const char* file, int line, int severity, DWORD error)
    : LogMessage(file, line, severity), error_(error) {}

Win32ErrorLogMessage::~Win32ErrorLogMessage() {
  stream() << ": " << Win32ErrorText(error_);
  Emit();
}

Win32ErrorLogMessageFatal::Win32ErrorLogMessageFatal(const char* file, int line, DWORD error)
    : Win32ErrorLogMessage(file, line, kFatal, error) {}

Win32ErrorLogMessageFatal::~Win32ErrorLogMessageFatal() = default;

bool LoggingCloseFile(HANDLE file) {
  if (::CloseHandle(file)) return true;
  DWORD error = ::GetLastError();
  CRASH_LOG_WIN32_ERROR(error) << "CloseHandle";
  return false;
}

void EmitCrashPathLine(const char* file, int line, int severity, const char* text) {
  FixedText line_text;
  FormatLinePrefix(&line_text, file, line, severity);
  const std::size_t message_start = line_text.size();
  // Room is kept for the newline, which ends the line even when the text
  // is cut off.
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  const std::size_t room = FixedText::kCapacity - 1 - line_text.size();
  line_text.Append(text, length < room ? length : room);
  line_text.Append('\n');

  if (LogLineHook != nullptr &&
      LogLineHook(severity, file, line, message_start, std::string(line_text.c_str()))) {
    return;
  }
  if (LogOutputMask & kLogToStandardError) {
    if (g_log_environment.write_standard_error) {
      g_log_environment.write_standard_error(line_text.c_str());
    } else {
      WriteStandardErrorDirectly(line_text.c_str(), line_text.size());
    }
  }
  if (severity == kFatal) StopWithBreakpoint();
}

}  // namespace logging
