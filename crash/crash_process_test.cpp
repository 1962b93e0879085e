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
#include <string>
#include <vector>

#include "crash/crash_client.h"
#include "crash/null_write_probe.h"
#include "crash/crash_messages.h"
#include "crash/log_message.h"
#include "crash/test_processes.h"
#include "platform/platform.h"

namespace {

using namespace test_processes;

constexpr DWORD kLogTimeoutMs = 60000;

std::wstring HandlerPath() { return FromBuildPath(CRASH_HANDLER_PATH); }

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

std::wstring ChildPath() { return ExecutableDirectory() + L"\\crash_test_child.exe"; }

Child StartChild(const std::wstring& arguments) {
  ++g_child_count;
  return Start(ChildPath(), arguments, g_out + L"\\child-" + std::to_wstring(g_child_count));
}

// A program playing a crash handler that misbehaves, on a pipe of its own.
struct HostileServer {
  Child process;
  std::wstring pipe;
};

HostileServer StartHostileServer(const std::wstring& mode, const std::wstring& arguments) {
  ++g_child_count;
  HostileServer server;
  server.pipe = L"\\\\.\\pipe\\crash-process-test-" + std::to_wstring(::GetCurrentProcessId()) +
                L"-hostile-" + std::to_wstring(g_child_count);
  server.process = Start(ExecutableDirectory() + L"\\hostile_peer.exe",
                         mode + L" " + server.pipe + L" " + arguments,
                         g_out + L"\\hostile-" + std::to_wstring(g_child_count));
  EXPECT_TRUE(WaitForLine(server.process.stdout_path, "ready", kLogTimeoutMs))
      << ReadFileText(server.process.stdout_path);
  return server;
}

struct ChildRun {
  DWORD id = 0;
  DWORD exit_code = 0;
  std::vector<std::string> output;
  std::string errors;
};

ChildRun RunChild(const std::wstring& arguments, DWORD timeout_ms = 120000) {
  Child child = StartChild(arguments);
  ChildRun run;
  run.id = child.id;
  run.exit_code = Finish(&child, timeout_ms);
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

// The code this machine gives a write to address 0 (null_write_probe.h).
DWORD g_null_write_code = 0;

class CrashProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t directory[MAX_PATH];
    DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
    g_out = std::wstring(directory, length) + L"\\crash_process_test.out";
    MakeEmptyDirectory(g_out);
    CreateKillJob();
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
    if (!g_memory_readable) {
      // Every crash test then checks what the handler can do without it
      // (see ExpectCrashReported).
      std::printf(
          "note: this machine cannot read another process's memory (Wine under a user-mode "
          "CPU emulator has no ptrace): minidumps and exception details are not checked, only "
          "that the handler was signalled\n");
    }
    g_null_write_code = NullWriteExceptionCode();
    if (g_null_write_code != EXCEPTION_ACCESS_VIOLATION) {
      std::printf("note: a write to address 0 raises %s here, not an access violation\n",
                  Hex32(g_null_write_code).c_str());
    }
  }
  static void TearDownTestSuite() {
    for (Handler* handler : {&g_normal, &g_short, &g_ignoring}) Stop(&handler->process);
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
  ChildRun run = RunChild(L"announced \\\\.\\pipe\\crash-process-test-nobody-serves-this");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(Contains(run.output, "no variable"));
  EXPECT_TRUE(Contains(run.output, "log: CreateFile: " + logging::Win32ErrorText(2)));
  EXPECT_EQ(LinesWith(run.output, "connect=0").size(), 1u);
  EXPECT_EQ(LinesWith(run.output, "log: ").size(), 1u);  // no retry
  EXPECT_EQ(HandlerLog(g_normal).size(), handler_lines);
}

// Registration runs under the loader lock: a name that would make the
// system reach another machine is refused before anything is opened, and so
// is a name too long for the buffer it was always read into (it used to be
// read as empty).
TEST_F(CrashProcessTest, RemoteAndOverlongPipeNamesAreRefusedWithoutBeingOpened) {
  ChildRun remote = RunChild(L"register \\\\192.0.2.1\\pipe\\x");
  EXPECT_EQ(LinesWith(remote.output, "connect=0").size(), 1u);
  EXPECT_EQ(LinesWith(remote.output, "log: ").size(), 1u);
  EXPECT_TRUE(Contains(remote.output,
                       "log: pipe name refused: not a local pipe name "
                       "(\\\\.\\pipe\\NAME)"));

  std::wstring overlong = L"\\\\.\\pipe\\" + std::wstring(600 - 9, L'x');
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", overlong.c_str());
  ChildRun announced = RunChild(L"announced");
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", nullptr);
  EXPECT_TRUE(Contains(announced.output, "announced 600 characters"));
  EXPECT_EQ(LinesWith(announced.output, "announced connect=0").size(), 1u);
  EXPECT_TRUE(Contains(announced.output, "log: pipe name refused: longer than 511 characters"));
}

TEST_F(CrashProcessTest, ShortReplyIsRefusedWithTheSizesLogged) {
  ChildRun run = RunChild(Arguments(L"register", g_short));
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(LinesWith(run.output, "connect=0").size(), 1u);
  EXPECT_TRUE(Contains(run.output, "log: TransactNamedPipe: expected 12, observed 8"));
  EXPECT_TRUE(
      WaitForLine(g_short.log, "registered process " + std::to_string(run.id), kLogTimeoutMs));
}

// Reads "connect=N elapsed=MS" from a child's output.
bool ConnectResult(const std::vector<std::string>& output, unsigned* connected,
                   unsigned long long* elapsed) {
  std::vector<std::string> result = LinesWith(output, "connect=");
  return result.size() == 1 &&
         std::sscanf(result[0].c_str(), "connect=%u elapsed=%llu", connected, elapsed) == 2;
}

TEST_F(CrashProcessTest, HandlerAskedToStayBusyMakesTheClientWait) {
  // Shorter than the client's limit for a busy pipe.
  Handler busy = StartHandler(L"busy", L"--busy-ms 1500");
  ASSERT_TRUE(WaitForLine(busy.log, "busy for 1500 ms", kLogTimeoutMs));
  ULONGLONG start = ::GetTickCount64();
  ServerToClientMessage reply = {};
  bool sent = SendToCrashHandlerServer(busy.pipe, MakeRegistrationMessage(), &reply);
  ULONGLONG elapsed = ::GetTickCount64() - start;
  EXPECT_TRUE(WaitForLine(busy.log, "registered process", kLogTimeoutMs));
  Stop(&busy.process);
  EXPECT_TRUE(sent);
  EXPECT_NE(reply.crash_event, 0u);
  EXPECT_GE(elapsed, 500u);  // it waited for the pipe instead of failing
  std::vector<std::string> log = HandlerLog(busy);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NE(log[1].find("no longer busy"), std::string::npos);
  EXPECT_NE(log[2].find("registration from process " + std::to_string(::GetCurrentProcessId())),
            std::string::npos);
  ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(reply.crash_event)));
}

// A program that keeps the pipe busy (here its own, which it also serves)
// used to hold the game's start for as long as it liked.
TEST_F(CrashProcessTest, BusyPipeIsGivenUpAfterTheWaitLimit) {
  HostileServer holder = StartHostileServer(L"serve-busy", L"8000");
  ChildRun run = RunChild(L"register " + holder.pipe);
  Stop(&holder.process);
  unsigned connected = 1;
  unsigned long long elapsed = 0;
  ASSERT_TRUE(ConnectResult(run.output, &connected, &elapsed));
  EXPECT_EQ(connected, 0u);
  EXPECT_GE(elapsed, kPipeWaitLimitMs - 100);
  EXPECT_LT(elapsed, kPipeWaitLimitMs + 2000);
  EXPECT_TRUE(Contains(run.output, "log: WaitNamedPipe: " + logging::Win32ErrorText(121)));
  EXPECT_TRUE(Contains(run.output, "crash event unset, filter not installed"));
}

// A server that takes the registration and never answers.
TEST_F(CrashProcessTest, SilentHandlerIsGivenUpAfterTheTransactionLimit) {
  HostileServer mute = StartHostileServer(L"serve-mute", L"10000");
  ChildRun run = RunChild(L"register " + mute.pipe);
  Stop(&mute.process);
  unsigned connected = 1;
  unsigned long long elapsed = 0;
  ASSERT_TRUE(ConnectResult(run.output, &connected, &elapsed));
  EXPECT_EQ(connected, 0u);
  EXPECT_GE(elapsed, kTransactionLimitMs - 100);
  EXPECT_LT(elapsed, kTransactionLimitMs + 2000);
  EXPECT_TRUE(
      Contains(run.output, "log: TransactNamedPipe: " + logging::Win32ErrorText(WAIT_TIMEOUT)));
  EXPECT_TRUE(Contains(run.output, "crash event unset, filter not installed"));
}

// The reply's crash event is what a crash signals; anything but an event of
// the client that it may signal is refused, and nothing is installed.
TEST_F(CrashProcessTest, ReplyWithoutAnEventIsRefusedAndNothingIsInstalled) {
  for (const wchar_t* kind : {L"file", L"0x12345678", L"0"}) {
    HostileServer server = StartHostileServer(L"serve-reply", kind);
    ChildRun run = RunChild(L"register " + server.pipe);
    Finish(&server.process, 10000);
    std::vector<std::string> answered =
        LinesWith(Lines(ReadFileText(server.process.stdout_path)), "answered with crash event ");
    ASSERT_EQ(answered.size(), 1u) << ReadFileText(server.process.stdout_path);
    const std::string value = answered[0].substr(answered[0].rfind(' ') + 1);
    EXPECT_EQ(LinesWith(run.output, "connect=0").size(), 1u);
    EXPECT_TRUE(Contains(run.output, "log: reply refused: crash event " + value +
                                         " is not an event handle of this process"));
    EXPECT_TRUE(Contains(run.output, "crash event unset, filter not installed"));
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

// The crash path runs while other threads are stopped anywhere; one that
// holds the heap must not keep the crashed process alive.
TEST_F(CrashProcessTest, CrashWhileAnotherThreadHoldsTheHeapStillEndsTheProcess) {
  ChildRun run = RunChild(Arguments(L"crash-heap-locked", g_ignoring) + L" 300", 20000);
  EXPECT_EQ(run.exit_code, 0xFFFF7001u);
  std::vector<std::string> errors = Lines(run.errors);
  ASSERT_EQ(errors.size(), 1u) << run.errors;
  EXPECT_EQ(errors[0].find("[" + std::to_string(run.id) + ":"), 0u) << errors[0];
  EXPECT_NE(errors[0].find(":ERROR crash_handlers.cpp:"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].substr(errors[0].find("] ") + 2),
            "crash server did not respond, self-terminating");
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
