// A stand-in for the game the patch is built for. It has the game's
// GameEntry function at the fixed offset and uses the ordinary Win32 file
// functions, printing what it sees, so that the patch can be demonstrated and
// tested end to end in a real process.
//
// Its commands are listed in kUsage (`sample_game --help`). Started without
// commands, it runs those in the environment variable SAMPLE_GAME_COMMANDS
// (separated by spaces), so that a test can start it with exactly the
// command line a player types for the real game.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

HMODULE g_loaded = nullptr;

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

HANDLE OpenRead(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Print("open %s: failed, error %lu\n", Narrow(path).c_str(), GetLastError());
  }
  return h;
}

std::string ReadUpTo(HANDLE h, DWORD limit) {
  std::string data;
  char buffer[4096];
  while (data.size() < limit) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, limit - data.size()));
    DWORD got = 0;
    if (!ReadFile(h, buffer, want, &got, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) Print("read: failed, error %lu\n", error);
      break;
    }
    if (got == 0) break;
    data.append(buffer, got);
  }
  return data;
}

void Cat(const std::wstring& path, DWORD limit) {
  HANDLE h = OpenRead(path);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD high = 0;
  DWORD size = GetFileSize(h, &high);
  LARGE_INTEGER size_ex = {};
  GetFileSizeEx(h, &size_ex);
  std::string data = ReadUpTo(h, limit);
  Print("%s: size %lu/%lld, read %u bytes: %s\n", Narrow(path).c_str(), size, size_ex.QuadPart,
        static_cast<unsigned>(data.size()), data.c_str());
  CloseHandle(h);
}

void Seek(const std::wstring& path, LONG offset, DWORD count) {
  HANDLE h = OpenRead(path);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD low = SetFilePointer(h, offset, nullptr, FILE_BEGIN);
  LARGE_INTEGER zero = {}, now = {};
  SetFilePointerEx(h, zero, &now, FILE_CURRENT);
  std::string data = ReadUpTo(h, count);
  Print("%s @%lu (now %lld): %s\n", Narrow(path).c_str(), low, now.QuadPart, data.c_str());
  CloseHandle(h);
}

void Stat(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  BOOL ok = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  Print("%s: attributes 0x%lx (error %lu), ex %s size %lu\n", Narrow(path).c_str(), attributes,
        error, ok ? "ok" : "failed", data.nFileSizeLow);
}

void List(const std::wstring& pattern) {
  WIN32_FIND_DATAW record;
  HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record, FindExSearchNameMatch,
                              nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    Print("ls %s: nothing, error %lu\n", Narrow(pattern).c_str(), GetLastError());
    return;
  }
  Print("ls %s:\n", Narrow(pattern).c_str());
  do {
    const bool dir = record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    Print("  %-5s %s %lu\n", dir ? "dir" : "file", Narrow(record.cFileName).c_str(),
          record.nFileSizeLow);
  } while (FindNextFileW(h, &record));
  DWORD error = GetLastError();
  FindClose(h);
  Print("  (end, error %lu)\n", error);
}

// Answers of version.dll and winmm.dll functions that do not change from one
// run to the next: the version resource of a system DLL, a language's name,
// the timer's range, a four-character code, and the errors
// of calls that must fail.
void PrintLibraryAnswers() {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring kernel32 = std::wstring(system) + L"\\kernel32.dll";
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(kernel32.c_str(), &handle);
  std::vector<BYTE> block(size);
  const BOOL got = size != 0 && GetFileVersionInfoW(kernel32.c_str(), 0, size, block.data());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  const BOOL queried =
      got && VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size);
  Print(
      "version: kernel32 info size %lu, read %d, fixed %d (%u bytes) file version "
      "%lu.%lu.%lu.%lu\n",
      size, got, queried, fixed_size, queried ? HIWORD(fixed->dwFileVersionMS) : 0,
      queried ? LOWORD(fixed->dwFileVersionMS) : 0, queried ? HIWORD(fixed->dwFileVersionLS) : 0,
      queried ? LOWORD(fixed->dwFileVersionLS) : 0);
  SetLastError(0);
  const DWORD missing = GetFileVersionInfoSizeW(L"Z:\\no\\such\\file.dll", &handle);
  Print("version: missing file info size %lu, error %lu\n", missing, GetLastError());
  wchar_t language[64] = {};
  const DWORD language_length = VerLanguageNameW(0x0409, language, 64);
  Print("version: language 0x409 is %s (%lu)\n", Narrow(language).c_str(), language_length);
  TIMECAPS caps = {};
  const MMRESULT caps_result = timeGetDevCaps(&caps, sizeof caps);
  Print("winmm: timer caps %u, period %u..%u\n", caps_result, caps.wPeriodMin, caps.wPeriodMax);
  Print("winmm: fourcc %08lx, bad timer caps %u\n", mmioStringToFOURCCW(L"abcd", 0),
        timeGetDevCaps(nullptr, 0));
  const MMRESULT begun = timeBeginPeriod(1);
  Print("winmm: period 1 begun %u, ended %u\n", begun, timeEndPeriod(1));
  MMIOINFO info = {};
  wchar_t missing_name[] = L"Z:\\no\\such\\file.wav";
  HMMIO mmio = mmioOpenW(missing_name, &info, MMIO_READ);
  Print("winmm: open of a missing file %s, error %u\n", mmio ? "opened" : "failed", info.wErrorRet);
  if (mmio) mmioClose(mmio, 0);
}

LONG WINAPI SampleFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

}  // namespace

// The game's own GameEntry body; the assembly stub at the fixed offset calls it.
extern "C" DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) {
  Print("GameEntry(%lu, %lu, %lu, %lu)\n", a, b, c, d);
  return a + b + c + d;
}

extern "C" DWORD WINAPI GameEntry(DWORD, DWORD, DWORD, DWORD);

const char kUsage[] =
    "usage: sample_game COMMAND...   (commands run in order; the build puts it\n"
    "       in build/win/tests/sample_game/sample_game.exe)\n"
    "  load DLL        LoadLibraryW (as a launcher's injection would)\n"
    "  free            FreeLibrary of the loaded DLL\n"
    "  loaded DLL      whether a module of that name is mapped in the process\n"
    "  unsuspendable   start a thread that cannot be suspended any further\n"
    "  entry           call GameEntry through its address (the patch starts its\n"
    "                  work there)\n"
    "  cat PATH        open, measure, read whole and print the contents\n"
    "  head PATH N     read only N bytes\n"
    "  seek PATH OFF N seek (SetFilePointer and SetFilePointerEx) then read N bytes\n"
    "  stat PATH       GetFileAttributesW and GetFileAttributesExW\n"
    "  type PATH       GetFileType of an opened file\n"
    "  ls PATTERN      FindFirstFileExW / FindNextFileW / FindClose\n"
    "  write PATH      CreateFileW with GENERIC_WRITE and CREATE_ALWAYS, then close;\n"
    "                  prints the last error the open left: the game sets 1234\n"
    "                  first, so \"last error 1234\" means the open succeeded\n"
    "                  without setting one\n"
    "  exists PATH     whether the game sees the path (FindFirstFileW)\n"
    "  filter          SetUnhandledExceptionFilter, printing the previous filter\n"
    "  crash           an access violation\n"
    "  sleep MS        wait MS milliseconds\n"
    "  echo TEXT       print TEXT\n"
    "  cwd             print the current directory\n"
    "  exit CODE       end the process with exit code CODE\n"
    "  libraries       call functions the game imports from version.dll and\n"
    "                  winmm.dll and print their answers\n"
    "  --help          this text\n"
    "Without commands it runs those in SAMPLE_GAME_COMMANDS (space-separated).\n";

// The commands of SAMPLE_GAME_COMMANDS, after the program's name.
std::vector<std::wstring> CommandsFromEnvironment(const wchar_t* program) {
  std::vector<std::wstring> words = {program};
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(L"SAMPLE_GAME_COMMANDS", value, 4096);
  if (length == 0 || length >= 4096) return words;
  std::wstring word;
  for (DWORD k = 0; k <= length; ++k) {
    if (k == length || value[k] == L' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += value[k];
    }
  }
  return words;
}

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> from_environment;
  std::vector<wchar_t*> pointers;
  if (argc == 1) {
    from_environment = CommandsFromEnvironment(argv[0]);
    for (std::wstring& word : from_environment) pointers.push_back(word.data());
    argc = static_cast<int>(pointers.size());
    argv = pointers.data();
  }
  if (argc == 1) {
    std::fprintf(stderr, "sample_game: no commands given; sample_game --help lists them\n");
  }
  for (int i = 1; i < argc; ++i) {
    std::wstring command = argv[i];
    auto arg = [&](int k) { return i + k < argc ? std::wstring(argv[i + k]) : std::wstring(); };
    if (command == L"--help" || command == L"-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (command == L"load") {
      g_loaded = LoadLibraryW(arg(1).c_str());
      Print("load %s: %s\n", Narrow(arg(1)).c_str(), g_loaded ? "ok" : "failed");
      i += 1;
    } else if (command == L"free") {
      Print("free: %s\n", g_loaded && FreeLibrary(g_loaded) ? "ok" : "failed");
      g_loaded = nullptr;
    } else if (command == L"loaded") {
      Print("loaded %s: %s\n", Narrow(arg(1)).c_str(),
            GetModuleHandleW(arg(1).c_str()) != nullptr ? "yes" : "no");
      i += 1;
    } else if (command == L"unsuspendable") {
      LPTHREAD_START_ROUTINE idle = [](void*) WINAPI -> DWORD {
        Sleep(INFINITE);
        return 0;
      };
      HANDLE thread = CreateThread(nullptr, 0, idle, nullptr, CREATE_SUSPENDED, nullptr);
      DWORD count = 1;
      while (thread != nullptr && SuspendThread(thread) != static_cast<DWORD>(-1)) ++count;
      Print("unsuspendable: suspended %lu times, then error %lu\n", count, GetLastError());
    } else if (command == L"entry") {
      auto* entry = reinterpret_cast<decltype(&GameEntry)>(
          reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x12A090);
      Print("entry returned %lu\n", entry(1, 2, 3, 4));
    } else if (command == L"cat") {
      Cat(arg(1), 1u << 20);
      i += 1;
    } else if (command == L"head") {
      Cat(arg(1), static_cast<DWORD>(_wtoi(arg(2).c_str())));
      i += 2;
    } else if (command == L"seek") {
      Seek(arg(1), _wtoi(arg(2).c_str()), static_cast<DWORD>(_wtoi(arg(3).c_str())));
      i += 3;
    } else if (command == L"stat") {
      Stat(arg(1));
      i += 1;
    } else if (command == L"type") {
      HANDLE h = OpenRead(arg(1));
      if (h != INVALID_HANDLE_VALUE) {
        Print("%s: type %lu\n", Narrow(arg(1)).c_str(), GetFileType(h));
        CloseHandle(h);
      }
      i += 1;
    } else if (command == L"ls") {
      List(arg(1));
      i += 1;
    } else if (command == L"write") {
      // A value no call here sets: a successful open must leave it.
      SetLastError(1234);
      HANDLE h = CreateFileW(arg(1).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      const DWORD error = GetLastError();
      Print("write %s: %s, last error %lu\n", Narrow(arg(1)).c_str(),
            h == INVALID_HANDLE_VALUE ? "failed" : "opened", error);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      i += 1;
    } else if (command == L"exists") {
      WIN32_FIND_DATAW record;
      HANDLE h = FindFirstFileW(arg(1).c_str(), &record);
      Print("exists %s: %s\n", Narrow(arg(1)).c_str(), h == INVALID_HANDLE_VALUE ? "no" : "yes");
      if (h != INVALID_HANDLE_VALUE) FindClose(h);
      i += 1;
    } else if (command == L"filter") {
      LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&SampleFilter);
      LPTOP_LEVEL_EXCEPTION_FILTER again = SetUnhandledExceptionFilter(&SampleFilter);
      Print("filter: previous %s, then %s\n", previous ? "set" : "null",
            again == &SampleFilter ? "ours" : (again ? "other" : "null"));
    } else if (command == L"crash") {
      Print("crashing\n");
      *static_cast<volatile int*>(nullptr) = 1;
    } else if (command == L"sleep") {
      Sleep(static_cast<DWORD>(_wtoi(arg(1).c_str())));
      i += 1;
    } else if (command == L"echo") {
      Print("%s\n", Narrow(arg(1)).c_str());
      i += 1;
    } else if (command == L"cwd") {
      wchar_t directory[MAX_PATH * 2];
      const DWORD length = GetCurrentDirectoryW(MAX_PATH * 2, directory);
      Print("cwd %s\n", Narrow(std::wstring(directory, length)).c_str());
    } else if (command == L"libraries") {
      PrintLibraryAnswers();
    } else if (command == L"exit") {
      Print("exiting with %s\n", Narrow(arg(1)).c_str());
      ExitProcess(static_cast<UINT>(_wtoi(arg(1).c_str())));
    } else {
      Print("unknown command %s (sample_game --help lists them)\n", Narrow(command).c_str());
      return 2;
    }
  }
  return 0;
}
