// crash_handler: collects crash reports from a patched game.
//
// Serves the crash pipe, and either runs the game itself with
// CRASHPAD_PIPE_NAME set (and ends when the game ends), or serves until it
// is stopped while the game is started separately with that variable.

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "crash/pipe_name.h"
#include "platform/platform.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "tools/command_line/command_line.h"
#include "tools/crash_handler/crash_server.h"
#include "tools/crash_handler/event_log.h"
#include "tools/crash_handler/exit_code_text.h"
#include "tools/crash_handler/report_directory.h"
#include "xp3patch_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: crash_handler [options] [-- PROGRAM [ARGUMENTS...]]\n"
    "\n"
    "Collects crash reports (a minidump and a one-line summary per crash) from\n"
    "programs that register with it through the pipe named in the environment\n"
    "variable CRASHPAD_PIPE_NAME. A player starts the game through it, from the\n"
    "game's folder:\n"
    "\n"
    "  crash_handler.exe --dump-dir reports -- launcher.exe Game.exe patch.dll\n"
    "\n"
    "and after a crash finds crash-*.dmp and crash-*.txt in the folder reports.\n"
    "\n"
    "Options:\n"
    "  --dump-dir DIR     folder for reports, created (with any missing parent\n"
    "                     folders) when it does not exist; default: the current\n"
    "                     directory\n"
    "  --log FILE         also append every event line to FILE, the details of\n"
    "                     each registration included\n"
    "  --verbose          show those details on the console as well\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "With -- PROGRAM, starts PROGRAM with CRASHPAD_PIPE_NAME set to the pipe and\n"
    "exits when PROGRAM ends; PROGRAM gets ARGUMENTS exactly as given. Without\n"
    "it, serves until stopped (Ctrl+C); start the game yourself with\n"
    "CRASHPAD_PIPE_NAME set to the pipe name printed at start.\n"
    "\n"
    "Options for set-ups with several handlers:\n"
    "  --pipe NAME        pipe to serve, \\\\.\\pipe\\... of at most 511 characters\n"
    "                     (default \\\\.\\pipe\\crash-handler-<process id>); a name\n"
    "                     another program serves already is an error\n"
    "  --max-clients N    watch at most N registered programs at once (1-31,\n"
    "                     default 31); more registrations are refused\n"
    "\n"
    "Only programs of the user running the handler, on this machine, can reach\n"
    "the pipe. A program that registers again replaces its earlier registration.\n"
    "Reports never replace earlier ones: a name in use gets -2, -3, ...\n"
    "\n"
    "Testing options (they make the handler misbehave on purpose, to check a\n"
    "client's failure handling; never use them to collect reports):\n"
    "  --reply-size N     answer registrations with N bytes (0-12) instead of 12\n"
    "  --busy-ms N        keep the pipe busy for N milliseconds after start\n"
    "  --ignore-crashes   never act on a signalled crash\n"
    "\n"
    "Exit status: with PROGRAM, PROGRAM's own exit code (after a crash, the\n"
    "crash's exception code, as the handler ends it with that, shown in hex\n"
    "with its name: 0xC0000005 (access violation)); without it, 0\n"
    "when serving ended normally. 1 when the pipe, the report folder or PROGRAM\n"
    "could not be set up or started, 2 for bad usage.\n";

struct CommandLine {
  ServerOptions server;
  std::wstring log_path;
  std::vector<std::wstring> program;
  bool help = false;
  bool version = false;
  bool verbose = false;
};

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!ToUtf8(text, &out)) out = "?";
  return out;
}

// A path as a player can find it: made absolute against the current folder.
std::string FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH * 2];
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return Narrow(path);
  return Narrow(std::wstring(full, length));
}

bool ParseNumber(const std::wstring& text, DWORD* value) {
  if (text.empty() || text.size() > 9) return false;
  DWORD result = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    result = result * 10 + static_cast<DWORD>(c - L'0');
  }
  *value = result;
  return true;
}

// Returns an error text, or an empty string when the arguments are good.
std::string Parse(int argc, wchar_t** argv, CommandLine* line) {
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    auto value = [&](std::wstring* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::wstring text;
    if (arg == L"-h" || arg == L"--help") {
      line->help = true;
    } else if (arg == L"--version") {
      line->version = true;
    } else if (arg == L"--verbose") {
      line->verbose = true;
    } else if (arg == L"--") {
      for (++i; i < argc; ++i) line->program.push_back(argv[i]);
      if (line->program.empty()) return "-- must be followed by a program";
    } else if (arg == L"--pipe") {
      if (!value(&line->server.pipe_name) || line->server.pipe_name.empty())
        return "--pipe needs a name";
      // The patch would refuse to open any other name.
      if (const char* refusal = PipeNameRefusal(line->server.pipe_name))
        return "--pipe " + Narrow(line->server.pipe_name) + ": " + refusal;
    } else if (arg == L"--dump-dir") {
      if (!value(&line->server.report_directory)) return "--dump-dir needs a directory";
    } else if (arg == L"--log") {
      if (!value(&line->log_path)) return "--log needs a file";
    } else if (arg == L"--max-clients") {
      if (!value(&text) || !ParseNumber(text, &line->server.max_clients) ||
          line->server.max_clients < 1 || line->server.max_clients > kMaxWatchedClients)
        return "--max-clients needs a number from 1 to " + std::to_string(kMaxWatchedClients);
    } else if (arg == L"--reply-size") {
      if (!value(&text) || !ParseNumber(text, &line->server.reply_size) ||
          line->server.reply_size > 12)
        return "--reply-size needs a number from 0 to 12";
    } else if (arg == L"--busy-ms") {
      if (!value(&text) || !ParseNumber(text, &line->server.busy_ms))
        return "--busy-ms needs a number of milliseconds";
    } else if (arg == L"--ignore-crashes") {
      line->server.ignore_crashes = true;
    } else {
      return "unknown argument: " + Narrow(arg);
    }
  }
  return std::string();
}

// Runs PROGRAM to its end; false when it cannot be started.
bool RunProgram(const std::vector<std::wstring>& program, EventLog* log, DWORD* result) {
  std::wstring command = JoinCommandLine(program);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    log->Write("error: cannot start " + Narrow(program[0]) + ": " +
               SystemErrorText(::GetLastError()));
    return false;
  }
  log->Write("started " + Narrow(program[0]) + " as process " + std::to_string(info.dwProcessId));
  ::CloseHandle(info.hThread);
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exit_code = kExitFailure;
  if (!::GetExitCodeProcess(info.hProcess, &exit_code)) {
    log->Write("warning: " + LastErrorText("reading the exit code of " + Narrow(program[0])));
  }
  ::CloseHandle(info.hProcess);
  log->Write(Narrow(program[0]) + " ended with exit code " + ExitCodeText(exit_code));
  *result = exit_code;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CommandLine line;
  std::string error = Parse(argc, argv, &line);
  if (!error.empty()) {
    std::fprintf(stderr, "crash_handler: %s\nTry 'crash_handler --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (line.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.version) {
    std::printf("crash_handler %s\n", XP3PATCH_VERSION);
    return kExitOk;
  }
  if (line.server.pipe_name.empty()) {
    line.server.pipe_name =
        L"\\\\.\\pipe\\crash-handler-" + std::to_wstring(::GetCurrentProcessId());
  }

  EventLog log;
  log.SetVerbose(line.verbose);
  if (!line.log_path.empty() && !log.OpenFile(line.log_path)) {
    std::fprintf(stderr, "crash_handler: cannot open log file %s\n",
                 FullPath(line.log_path).c_str());
    return kExitFailure;
  }
  if (!line.server.report_directory.empty()) {
    std::string why;
    if (!CreateReportDirectory(line.server.report_directory, &why)) {
      std::fprintf(stderr, "crash_handler: cannot use the report directory %s: %s\n",
                   FullPath(line.server.report_directory).c_str(), why.c_str());
      return kExitFailure;
    }
  }

  CrashServer server(line.server, &log);
  if (!server.Start()) return kExitFailure;
  if (line.program.empty()) {
    server.Serve();
    return kExitOk;
  }

  std::thread(&CrashServer::Serve, &server).detach();
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", line.server.pipe_name.c_str());
  DWORD result = kExitFailure;
  const bool ran = RunProgram(line.program, &log, &result);
  server.WaitForClients(5000);
  if (ran) log.Write(std::to_string(server.reports_written()) + " crash report(s) written");
  // The serving thread is still blocked on the pipe; end without unwinding it.
  std::fflush(stdout);
  ::ExitProcess(ran ? static_cast<UINT>(result) : static_cast<UINT>(kExitFailure));
}
