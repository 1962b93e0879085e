// Starts a game with the language patch loaded before any game code runs.
//
//   launcher GAME.EXE PATCH.DLL [-- GAME ARGUMENTS...]
//
// The game is created suspended, LoadLibraryW of the DLL is queued on its
// main thread, and the thread is resumed: the DLL loads before the game's
// entry point runs. The
// game inherits the launcher's working directory and environment, and the
// launcher ends with the game's exit code. Exit codes of its own: 2 for a
// usage error, 3 when the game cannot be started or the DLL not loaded.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "xp3patch_version.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kLaunchError = 3;

void Fail(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  fwprintf(stderr, L"launcher: ");
  vfwprintf(stderr, format, args);
  fwprintf(stderr, L"\n");
  va_end(args);
}

void Usage(FILE* out) {
  fwprintf(out,
           L"usage: launcher GAME.EXE PATCH.DLL [-- GAME ARGUMENTS...]\n"
           L"Starts GAME.EXE with PATCH.DLL loaded before any of the game's code runs.\n"
           L"The game gets the arguments after --, the current directory and the\n"
           L"environment of the launcher; the launcher returns the game's exit code.\n"
           L"launcher --version states the version.\n");
}

// The system's words for an error code, with the code: "... (error 2)".
std::wstring SystemText(DWORD code) {
  wchar_t text[512];
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, code, 0, text, 512, nullptr);
  while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'.')) --length;
  std::wstring words = length > 0 ? std::wstring(text, length) : L"unknown error";
  return words + L" (error " + std::to_wstring(code) + L")";
}

// Quotes one argument the way the C runtime's command-line parser reads it.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      out.append(backslashes + 1, L'\\');  // the run so far is doubled, plus one
      backslashes = 0;
    } else {
      backslashes = 0;
    }
    out += c;
  }
  out.append(backslashes, L'\\');
  out += L'"';
  return out;
}

// The machine type of a PE file, or 0 when it is not one.
WORD MachineOf(const std::wstring& path) {
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  IMAGE_DOS_HEADER dos = {};
  IMAGE_NT_HEADERS32 nt = {};
  DWORD got = 0;
  WORD machine = 0;
  if (ReadFile(f, &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
      dos.e_magic == IMAGE_DOS_SIGNATURE &&
      SetFilePointer(f, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
      ReadFile(f, &nt, sizeof nt, &got, nullptr) && got >= sizeof(DWORD) + sizeof(nt.FileHeader) &&
      nt.Signature == IMAGE_NT_SIGNATURE) {
    machine = nt.FileHeader.Machine;
  }
  CloseHandle(f);
  return machine;
}

bool CheckImage(const std::wstring& path, const wchar_t* what) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Fail(L"%ls not found: %ls", what, path.c_str());
    return false;
  }
  WORD machine = MachineOf(path);
  if (machine == 0) {
    Fail(L"%ls is not a Windows program: %ls", what, path.c_str());
    return false;
  }
  if (machine != IMAGE_FILE_MACHINE_I386) {
    Fail(L"%ls is not a 32-bit x86 program (machine 0x%04x): %ls", what, machine, path.c_str());
    return false;
  }
  return true;
}

std::wstring FullPathOf(const std::wstring& path) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  full.resize(n);
  return full;
}

// Queues LoadLibraryW of `dll` (its full path written into the process) as
// an asynchronous call on the game's suspended main thread: the system runs
// it while it initialises the thread, after the game's imports are loaded and
// before the game's entry point.
bool QueueLoad(HANDLE process, HANDLE thread, const std::wstring& dll) {
  const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remote == nullptr) return false;
  // kernel32 is mapped at the same address in every process of a session.
  auto* load = reinterpret_cast<PAPCFUNC>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  if (!WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr) ||
      QueueUserAPC(load, thread, reinterpret_cast<ULONG_PTR>(remote)) == 0) {
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return false;
  }
  return true;  // the path stays in the game's memory: it is a few bytes
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h")) {
    Usage(stdout);
    return 0;
  }
  if (argc == 2 && std::wstring(argv[1]) == L"--version") {
    const std::string version = XP3PATCH_VERSION;
    fwprintf(stdout, L"launcher %ls\n", std::wstring(version.begin(), version.end()).c_str());
    return 0;
  }
  if (argc < 3 || (argc > 3 && std::wstring(argv[3]) != L"--")) {
    Usage(stderr);
    return kUsageError;
  }
  const std::wstring game = FullPathOf(argv[1]);
  const std::wstring dll = FullPathOf(argv[2]);
  if (!CheckImage(game, L"game") || !CheckImage(dll, L"patch DLL")) return kLaunchError;

  std::wstring command_line = Quote(game);
  for (int i = 4; i < argc; ++i) command_line += L" " + Quote(argv[i]);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(game.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info)) {
    Fail(L"cannot start %ls: %ls", game.c_str(), SystemText(GetLastError()).c_str());
    return kLaunchError;
  }
  if (!QueueLoad(info.hProcess, info.hThread, dll)) {
    Fail(L"cannot load %ls into the game: %ls", dll.c_str(), SystemText(GetLastError()).c_str());
    TerminateProcess(info.hProcess, kLaunchError);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return kLaunchError;
  }
  ResumeThread(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(exit_code);
}
