// Whole-process behaviour of crash reporting: crash_test_child registers with
// the crash_handler tool and crashes in the ways a game can, and this test
// checks what the handler received and what became of the child.
//
// Process starts are expensive under Wine, so the three handlers (one
// well-behaved, one answering short, one ignoring crashes) are started once
// for the whole suite, and each scenario starts one child.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crash/crash_client.h"
#include "crash/crash_messages.h"
#include "crash/log_message.h"
#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace {

constexpr DWORD kChildTimeoutMs = 120000;
constexpr DWORD kLogTimeoutMs = 60000;

std::wstring Widen(const std::string& text) {
  std::wstring out;
  if (!FromUtf8(text, &out)) ADD_FAILURE() << "not UTF-8: " << text;
  return out;
}

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/"));
}

// The build passes the handler's path as the build machine sees it; under
// Wine a Unix path is reached through drive Z:.
std::wstring HandlerPath() {
  std::wstring path = Widen(CRASH_HANDLER_PATH);
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    path = L"Z:" + path;
  }
  return path;
}

std::string ReadFileText(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  ::CloseHandle(file);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> found;
  for (const std::string& l : lines) {
    if (l.find(part) != std::string::npos) found.push_back(l);
  }
  return found;
}

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, 0, nullptr);
}

// Every process the suite starts belongs to this job, so that none outlives
// the suite even when it is killed.
HANDLE g_job = nullptr;

struct Child {
  HANDLE process = nullptr;
  DWORD id = 0;
  std::wstring stdout_path;
  std::wstring stderr_path;
};

// Starts `command` with standard output and error going to files.
Child Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& output) {
  Child child;
  child.stdout_path = output + L".out";
  child.stderr_path = output + L".err";
  HANDLE out = OpenInheritable(child.stdout_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenInheritable(child.stderr_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  PROCESS_INFORMATION info = {};
  if (::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
    if (g_job != nullptr) ::AssignProcessToJobObject(g_job, info.hProcess);
    ::CloseHandle(info.hThread);
    child.process = info.hProcess;
    child.id = info.dwProcessId;
  } else {
    ADD_FAILURE() << "cannot start child, error " << ::GetLastError();
  }
  ::CloseHandle(out);
  ::CloseHandle(err);
  ::CloseHandle(in);
  return child;
}

// Waits for the child; returns its exit code (or a failure for a hang).
DWORD Finish(Child* child) {
  if (child->process == nullptr) return 0xDEADDEAD;
  DWORD code = 0xDEADDEAD;
  if (::WaitForSingleObject(child->process, kChildTimeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "child did not end";
    ::TerminateProcess(child->process, 0xDEADDEAD);
    ::WaitForSingleObject(child->process, 5000);
  }
  ::GetExitCodeProcess(child->process, &code);
  ::CloseHandle(child->process);
  child->process = nullptr;
  return code;
}

// Polls `path` until a line containing `part` appears.
bool WaitForLine(const std::wstring& path, const std::string& part, DWORD timeout_ms) {
  for (DWORD waited = 0;; waited += 100) {
    if (!LinesWith(Lines(ReadFileText(path)), part).empty()) return true;
    if (waited >= timeout_ms) return false;
    ::Sleep(100);
  }
}

struct Handler {
  Child process;
  std::wstring pipe;
  std::wstring log;
};

std::wstring g_out;  // directory of this run's files
Handler g_normal, g_short, g_ignoring;
int g_child_count = 0;

Handler StartHandler(const std::wstring& name, const std::wstring& extra) {
  Handler handler;
  handler.pipe =
      L"\\\\.\\pipe\\crash-process-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name;
  handler.log = g_out + L"\\handler-" + name + L".log";
  ::DeleteFileW(handler.log.c_str());
  handler.process = Start(HandlerPath(),
                          L"--pipe " + handler.pipe + L" --dump-dir \"" + g_out + L"\" --log \"" +
                              handler.log + L"\" " + extra,
                          g_out + L"\\handler-" + name);
  return handler;
}

void RemoveFilesIn(const std::wstring& directory) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::DeleteFileW((directory + L"\\" + data.cFileName).c_str());
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

std::wstring ChildPath() { return ExecutableDirectory() + L"\\crash_test_child.exe"; }

Child StartChild(const std::wstring& arguments) {
  ++g_child_count;
  return Start(ChildPath(), arguments, g_out + L"\\child-" + std::to_wstring(g_child_count));
}

struct ChildRun {
  DWORD id = 0;
  DWORD exit_code = 0;
  std::vector<std::string> output;
  std::string errors;
};

ChildRun RunChild(const std::wstring& arguments) {
  Child child = StartChild(arguments);
  ChildRun run;
  run.id = child.id;
  run.exit_code = Finish(&child);
  run.output = Lines(ReadFileText(child.stdout_path));
  run.errors = ReadFileText(child.stderr_path);
  return run;
}

std::vector<std::string> HandlerLog(const Handler& handler) {
  return Lines(ReadFileText(handler.log));
}

std::string Hex32(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// The thread ids the child printed ("thread N").
std::vector<std::string> PrintedThreads(const ChildRun& run) {
  std::vector<std::string> threads;
  for (const std::string& line : run.output) {
    if (line.rfind("thread ", 0) == 0) threads.push_back(line.substr(7));
  }
  return threads;
}

// The one report line the handler wrote for `process_id`.
std::string ReportLine(const Handler& handler, DWORD process_id) {
  std::vector<std::string> reports =
      LinesWith(HandlerLog(handler), "report: process " + std::to_string(process_id) + " ");
  EXPECT_EQ(reports.size(), 1u);
  return reports.empty() ? std::string() : reports[0];
}

// Whether this machine lets one process read another's memory, which the
// handler needs. Wine running under a user-mode CPU emulator cannot (its
// server reads other processes through ptrace, which the emulator lacks).
bool g_memory_readable = false;

bool CanReadMemoryOf(HANDLE process) {
  // System modules sit at the same address in every process.
  const void* kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  char header[2] = {};
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, kernel32, header, sizeof header, &read) && read == 2 &&
         header[0] == 'M' && header[1] == 'Z';
}

// What the crash path had recorded when it signalled the handler, as the
// child's witness saw it, and what the handler made of it.
void ExpectCrashReported(const Handler& handler, const ChildRun& run, DWORD code,
                         const std::vector<std::string>& crashing_threads) {
  std::vector<std::string> signalled = LinesWith(run.output, "signalled ");
  ASSERT_EQ(signalled.size(), 1u);  // the crash event was signalled once
  unsigned long thread = 0, recorded_code = 0, address = 0, high = 1;
  ASSERT_EQ(std::sscanf(signalled[0].c_str(),
                        "signalled thread %lu exception 0x%lx address 0x%lx high %lu", &thread,
                        &recorded_code, &address, &high),
            4)
      << signalled[0];
  bool known_thread = false;
  for (const std::string& t : crashing_threads) known_thread |= t == std::to_string(thread);
  EXPECT_TRUE(known_thread) << signalled[0];
  EXPECT_EQ(recorded_code, code);
  EXPECT_EQ(high, 0u);  // the pointers' address is zero-extended

  std::string report = ReportLine(handler, run.id);
  std::size_t summary_at = report.find(" summary ");
  ASSERT_NE(summary_at, std::string::npos) << report;
  std::size_t dump_at = report.find(" dump ");
  std::size_t text_at = report.find("report: ") + 8;
  std::string summary = report.substr(text_at, std::min(dump_at, summary_at) - text_at);
  EXPECT_EQ(ReadFileText(Widen(report.substr(summary_at + 9))), summary + "\n");

  if (!g_memory_readable) {
    // The handler got the signal but cannot look inside the client.
    EXPECT_EQ(summary.find("process " + std::to_string(run.id) + " crashed; details unreadable"),
              0u)
        << report;
    EXPECT_EQ(run.exit_code, 1u);
    return;
  }
  EXPECT_EQ(run.exit_code, code);  // the handler ends the client with the code
  EXPECT_EQ(summary, "process " + std::to_string(run.id) + " thread " + std::to_string(thread) +
                         " exception " + Hex32(code) + " address " + Hex32(address));
  ASSERT_NE(dump_at, std::string::npos) << report;
  std::string dump = ReadFileText(Widen(report.substr(dump_at + 6, summary_at - dump_at - 6)));
  EXPECT_EQ(dump.substr(0, 4), "MDMP");
}

// The code this machine gives a write to address 0. Windows says access
// violation; Wine under a user-mode CPU emulator says illegal instruction,
// because the emulator does not pass the fault's trap number on.
extern "C" char null_write_probe[];
DWORD g_null_write_code = 0;

LONG WINAPI SkipProbedWrite(EXCEPTION_POINTERS* pointers) {
  if (pointers->ContextRecord->Eip != reinterpret_cast<UINT_PTR>(null_write_probe)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_null_write_code = pointers->ExceptionRecord->ExceptionCode;
  pointers->ContextRecord->Eip += 6;  // movl $1, (%eax)
  return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) void ProbeNullWrite() {
  void* handler = ::AddVectoredExceptionHandler(1, SkipProbedWrite);
  __asm__ volatile(
      "xorl %%eax, %%eax\n"
      ".globl _null_write_probe\n"
      "_null_write_probe:\n"
      "movl $1, (%%eax)\n" ::
          : "eax", "memory");
  ::RemoveVectoredExceptionHandler(handler);
}

class CrashProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t directory[MAX_PATH];
    DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
    g_out = std::wstring(directory, length) + L"\\crash_process_test.out";
    ::CreateDirectoryW(g_out.c_str(), nullptr);
    RemoveFilesIn(g_out);
    g_job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", nullptr);
    // Wine would start its debugger for an unhandled exception; the fatal
    // line scenario ends that way on purpose.
    ::SetEnvironmentVariableW(L"WINEDLLOVERRIDES",
                              L"winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d");
    g_normal = StartHandler(L"normal", L"");
    g_short = StartHandler(L"short", L"--reply-size 8");
    g_ignoring = StartHandler(L"ignoring", L"--ignore-crashes");
    for (const Handler* handler : {&g_normal, &g_short, &g_ignoring}) {
      ASSERT_TRUE(WaitForLine(handler->log, "listening on", kLogTimeoutMs))
          << ReadFileText(handler->process.stderr_path);
    }
    g_memory_readable = CanReadMemoryOf(g_normal.process.process);
    ProbeNullWrite();
    if (g_null_write_code != EXCEPTION_ACCESS_VIOLATION) {
      std::printf("note: a write to address 0 raises %s here, not an access violation\n",
                  Hex32(g_null_write_code).c_str());
    }
  }
  static void TearDownTestSuite() {
    for (Handler* handler : {&g_normal, &g_short, &g_ignoring}) {
      if (handler->process.process != nullptr) {
        ::TerminateProcess(handler->process.process, 0);
        Finish(&handler->process);
      }
    }
  }
};

std::wstring Arguments(const wchar_t* mode, const Handler& handler) {
  return std::wstring(mode) + L" " + handler.pipe;
}

TEST_F(CrashProcessTest, FatalLineStopsTheProcessWithABreakpointUnlessTheHookSwallowsIt) {
  ChildRun run = RunChild(L"log-fatal");
  EXPECT_EQ(run.exit_code, 0x80000003u);  // EXCEPTION_BREAKPOINT, unhandled
  // The hooked fatal line went on; with the shipped mask 1 and no hook the
  // error and the fatal line are written nowhere.
  std::vector<std::string> expected = {"log: Check failed: 1 + 1 == 3. ",
                                       "survived a fatal line swallowed by the hook"};
  // (Wine may add lines of its own debugger to the output.)
  std::vector<std::string> own = LinesWith(run.output, "log: ");
  for (const std::string& line : LinesWith(run.output, "survived")) own.push_back(line);
  EXPECT_EQ(own, expected);
  EXPECT_EQ(run.errors, "");
}

TEST_F(CrashProcessTest, WithoutTheVariableNothingIsRegisteredAndAMissingServerFails) {
  std::size_t handler_lines = HandlerLog(g_normal).size();
  ChildRun run = RunChild(L"no-variable \\\\.\\pipe\\crash-process-test-nobody-serves-this");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(Contains(run.output, "no variable"));
  EXPECT_TRUE(Contains(run.output, "log: CreateFile: " + logging::Win32ErrorText(2)));
  EXPECT_EQ(LinesWith(run.output, "connect=0").size(), 1u);
  EXPECT_EQ(LinesWith(run.output, "log: ").size(), 1u);  // no retry
  EXPECT_EQ(HandlerLog(g_normal).size(), handler_lines);
}

TEST_F(CrashProcessTest, ShortReplyIsRefusedWithTheSizesLogged) {
  ChildRun run = RunChild(Arguments(L"register", g_short));
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(LinesWith(run.output, "connect=0").size(), 1u);
  EXPECT_TRUE(Contains(run.output, "log: TransactNamedPipe: expected 12, observed 8"));
  EXPECT_TRUE(
      WaitForLine(g_short.log, "registered process " + std::to_string(run.id), kLogTimeoutMs));
}

TEST_F(CrashProcessTest, BusyPipeIsWaitedForAndThenUsed) {
  // The handler serves one instance; holding it makes the pipe busy.
  HANDLE holder = ::CreateFileW(g_normal.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << ::GetLastError();
  Child child = StartChild(Arguments(L"register", g_normal));
  bool started = WaitForLine(child.stdout_path, "connecting", kLogTimeoutMs);
  ::Sleep(1500);
  ::CloseHandle(holder);
  DWORD exit_code = Finish(&child);
  ASSERT_TRUE(started);
  EXPECT_EQ(exit_code, 0u);
  std::vector<std::string> output = Lines(ReadFileText(child.stdout_path));
  std::vector<std::string> result = LinesWith(output, "connect=");
  ASSERT_EQ(result.size(), 1u);
  unsigned connected = 0;
  unsigned long long elapsed = 0;
  ASSERT_EQ(std::sscanf(result[0].c_str(), "connect=%u elapsed=%llu", &connected, &elapsed), 2);
  EXPECT_EQ(connected, 1u);
  EXPECT_GE(elapsed, 1000u);  // it waited for the pipe instead of failing
  EXPECT_TRUE(LinesWith(output, "log: ").empty());
  EXPECT_TRUE(
      WaitForLine(g_normal.log, "registered process " + std::to_string(child.id), kLogTimeoutMs));
}

TEST_F(CrashProcessTest, HandlerAskedToStayBusyMakesTheClientWait) {
  Handler busy = StartHandler(L"busy", L"--busy-ms 3000");
  ASSERT_TRUE(WaitForLine(busy.log, "busy for 3000 ms", kLogTimeoutMs));
  ULONGLONG start = ::GetTickCount64();
  ServerToClientMessage reply = {};
  bool sent = SendToCrashHandlerServer(busy.pipe, MakeRegistrationMessage(), &reply);
  ULONGLONG elapsed = ::GetTickCount64() - start;
  EXPECT_TRUE(WaitForLine(busy.log, "registered process", kLogTimeoutMs));
  ::TerminateProcess(busy.process.process, 0);
  Finish(&busy.process);
  EXPECT_TRUE(sent);
  EXPECT_NE(reply.crash_event, 0u);
  EXPECT_GE(elapsed, 1000u);
  std::vector<std::string> log = HandlerLog(busy);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NE(log[1].find("no longer busy"), std::string::npos);
  EXPECT_NE(log[2].find("registration from process " + std::to_string(::GetCurrentProcessId())),
            std::string::npos);
  ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(reply.crash_event)));
}

TEST_F(CrashProcessTest, HandlerCanReadClientMemory) {
  if (!g_memory_readable) {
    GTEST_SKIP() << "this machine cannot read another process's memory (Wine under a user-mode "
                    "CPU emulator has no ptrace): the handler's minidump and exception details "
                    "are not checked, only that it was signalled";
  }
}

TEST_F(CrashProcessTest, AccessViolationIsReportedWithTheExactRegistration) {
  ChildRun run = RunChild(Arguments(L"crash-access", g_normal));
  ExpectCrashReported(g_normal, run, g_null_write_code, PrintedThreads(run));

  // The request: type 0, version 1, the process id, three zero-extended
  // addresses of the crash state.
  std::vector<std::string> addresses = LinesWith(run.output, "addresses ");
  ASSERT_EQ(addresses.size(), 1u);
  unsigned long crash = 0, non_crash = 0, section = 0;
  ASSERT_EQ(
      std::sscanf(addresses[0].c_str(), "addresses %lx %lx %lx", &crash, &non_crash, &section), 3);
  ClientToServerMessage expected = {0, 1, run.id, crash, non_crash, section};
  std::string hex;
  for (std::size_t i = 0; i < sizeof expected; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", reinterpret_cast<unsigned char*>(&expected)[i]);
    hex += byte;
  }
  EXPECT_EQ(LinesWith(HandlerLog(g_normal),
                      "registration from process " + std::to_string(run.id) + ": " + hex)
                .size(),
            1u);
}

TEST_F(CrashProcessTest, AbortIsReportedAsFatalApplicationExit) {
  ChildRun run = RunChild(Arguments(L"crash-abort", g_normal));
  ExpectCrashReported(g_normal, run, 0x40000015, PrintedThreads(run));
}

TEST_F(CrashProcessTest, HeapCorruptionIsReportedBeforeAnyOtherHandlerRuns) {
  ChildRun run = RunChild(Arguments(L"crash-heap", g_normal));
  EXPECT_FALSE(Contains(run.output, "swallowed"));
  EXPECT_FALSE(Contains(run.output, "survived"));
  ExpectCrashReported(g_normal, run, 0xC0000374, PrintedThreads(run));
}

TEST_F(CrashProcessTest, TwoThreadsCrashingTogetherGiveOneReport) {
  ChildRun run = RunChild(Arguments(L"crash-two-threads", g_normal));
  std::vector<std::string> threads = PrintedThreads(run);
  ASSERT_EQ(threads.size(), 2u);
  ExpectCrashReported(g_normal, run, g_null_write_code, threads);
}

TEST_F(CrashProcessTest, UnansweredCrashEndsTheProcessItself) {
  ChildRun run = RunChild(Arguments(L"crash-unanswered", g_ignoring) + L" 1500");
  EXPECT_EQ(run.exit_code, 0xFFFF7001u);
  EXPECT_TRUE(Contains(run.output, "log: crash server did not respond, self-terminating"));
  EXPECT_EQ(LinesWith(run.output, "signalled thread ").size(), 1u);
  EXPECT_TRUE(WaitForLine(
      g_ignoring.log,
      "process " + std::to_string(run.id) + " ended with exit code " + Hex32(0xFFFF7001),
      kLogTimeoutMs));
  EXPECT_EQ(LinesWith(HandlerLog(g_ignoring),
                      "crash signalled by process " + std::to_string(run.id) + ", ignored")
                .size(),
            1u);
}

}  // namespace
