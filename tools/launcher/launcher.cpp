// Starts a game with the language patch loaded before any game code runs.
//
//   launcher [--keep-directory] GAME.EXE PATCH.DLL [-- GAME ARGUMENTS...]
//
// The game is created suspended, LoadLibraryW of the DLL is queued on its
// main thread, followed by a call that suspends the thread again, and the
// thread is resumed: the DLL loads before the game's entry point runs, and
// the launcher then finds the game stopped right after the load. It checks
// that the DLL is among the game's modules; only then does the game go on.
// A DLL that did not load (its DllMain failed, a DLL it needs is missing)
// ends the game before any of its own code ran.
//
// The game starts in its own folder, as a shortcut starts it: the patch
// opens images.xp3, and the game its own files, relative to the current
// directory. --keep-directory keeps the launcher's instead. The game
// inherits the launcher's environment, gets the game arguments exactly as
// given, and the launcher ends with the game's exit code. Exit codes of its
// own: 2 for a usage error, 3 when the game cannot be started or the DLL not
// loaded, or the DLL is not the language patch (told by its version
// resource, before the game is created).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dropin/patch_identity.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"
#include "tools/command_line/command_line.h"
#include "tools/launcher/launcher_output.h"
#include "xp3patch_version.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kLaunchError = 3;

// The system's words for an error code, with the code: "... (error 2)".
std::wstring SystemWideText(DWORD code) {
  WideString wide;
  if (!FromUtf8(SystemErrorText(code), &wide)) return L"error " + std::to_wstring(code);
  return std::wstring(wide.begin(), wide.end());
}

const LauncherOutput& Output() {
  static const LauncherOutput output;
  return output;
}

void Fail(const std::wstring& text) { Output().Error(text); }

const wchar_t kUsage[] =
    L"usage: launcher [--keep-directory] GAME.EXE PATCH.DLL [-- GAME ARGUMENTS...]\n"
    L"\n"
    L"Starts GAME.EXE with PATCH.DLL loaded before any of the game's code runs.\n"
    L"The game starts in its own folder (the folder of GAME.EXE), as a shortcut\n"
    L"starts it, so that the files it and the patch open by relative names, such\n"
    L"as images.xp3, are found wherever the launcher is started from. It gets the\n"
    L"arguments after -- exactly as given and the launcher's environment.\n"
    L"\n"
    L"Options:\n"
    L"  --keep-directory   start the game in the launcher's current directory\n"
    L"                     instead of the game's folder\n"
    L"  -h, --help         show this text\n"
    L"  --version          show the version\n"
    L"\n"
    L"Exit codes:\n"
    L"  the game's own     the game ran; its exit code is passed on as it is\n"
    L"  1                  (from the game) the patch could not open one of its\n"
    L"                     archives: an error box and a line on standard error\n"
    L"                     name it in full; put that file there\n"
    L"  2                  bad usage (this text is shown)\n"
    L"  3                  the game could not be started (GAME.EXE or PATCH.DLL\n"
    L"                     missing or not a 32-bit Windows program, or PATCH.DLL\n"
    L"                     not the language patch), or the patch\n"
    L"                     did not load, and the game was ended before any of its\n"
    L"                     code ran\n"
    L"A game that itself ends with 2 or 3 cannot be told from these by the code\n"
    L"alone; the launcher's own failures always print a line (and, without a\n"
    L"console, show a message box).\n";

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
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Fail(std::wstring(what) + L" not found: " + path);
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    Fail(std::wstring(what) + L" is a folder, not a program: " + path);
    return false;
  }
  WORD machine = MachineOf(path);
  if (machine == 0) {
    Fail(std::wstring(what) + L" is not a Windows program: " + path);
    return false;
  }
  if (machine != IMAGE_FILE_MACHINE_I386) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%04x", machine);
    Fail(std::wstring(what) + L" is not a 32-bit x86 program (machine " + code + L"): " + path);
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

PAPCFUNC Kernel32Function(const char* name) {
  // kernel32 is mapped at the same address in every process of a session.
  return reinterpret_cast<PAPCFUNC>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// Queues, as asynchronous calls on the game's suspended main thread,
// LoadLibraryW of `dll` (its full path written into the process) and then
// SuspendThread of the thread itself. The system runs them while it
// initialises the thread, after the game's imports are loaded and before
// the game's entry point; the thread then stops until the launcher has
// seen whether the DLL loaded.
bool QueueLoad(HANDLE process, HANDLE thread, const std::wstring& dll) {
  const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remote == nullptr) return false;
  // The pseudo handle of the current thread, as the game's thread sees it.
  const ULONG_PTR current_thread = static_cast<ULONG_PTR>(-2);
  if (!WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr) ||
      QueueUserAPC(Kernel32Function("LoadLibraryW"), thread, reinterpret_cast<ULONG_PTR>(remote)) ==
          0 ||
      QueueUserAPC(Kernel32Function("SuspendThread"), thread, current_thread) == 0) {
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return false;
  }
  return true;  // the path stays in the game's memory: it is a few bytes
}

// Resumes the game's main thread and waits until it has stopped itself
// after the queued load. False when the game ended first (its exit code in
// `exit_code`).
bool RunUntilLoaded(HANDLE process, HANDLE thread, DWORD* exit_code) {
  ResumeThread(thread);
  for (;;) {
    if (WaitForSingleObject(process, 5) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process, exit_code);
      return false;
    }
    // A count of 1 or more before this suspension means the thread has
    // stopped itself; the launcher's own suspension is undone either way.
    const DWORD previous = SuspendThread(thread);
    ResumeThread(thread);
    if (previous != static_cast<DWORD>(-1) && previous >= 1) return true;
  }
}

// Whether two paths name the same file: the same text (case aside), or the
// same file of the same volume.
bool SameFile(const std::wstring& a, const std::wstring& b) {
  if (CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  const std::wstring* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    HANDLE f =
        CreateFileW(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const BOOL known = GetFileInformationByHandle(f, &info[i]);
    CloseHandle(f);
    if (!known) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// Whether `dll` is among the modules of the (stopped) game.
bool HasModule(DWORD process_id, const std::wstring& dll) {
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  // The list can be momentarily unreadable while the loader changes it.
  for (int attempt = 0; attempt < 10 && snapshot == INVALID_HANDLE_VALUE; ++attempt) {
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_id);
    if (snapshot == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  bool found = false;
  for (BOOL more = Module32FirstW(snapshot, &module); more && !found;
       more = Module32NextW(snapshot, &module)) {
    found = SameFile(module.szExePath, dll);
  }
  CloseHandle(snapshot);
  return found;
}

// The folder of a full file path: everything before its last separator,
// with the separator kept for a drive's root ("C:\").
std::wstring FolderOf(const std::wstring& full_path) {
  const size_t cut = full_path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return std::wstring();
  if (cut == 2 && full_path[1] == L':') return full_path.substr(0, 3);
  return full_path.substr(0, cut);
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(value));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int next = 1;
  bool keep_directory = false;
  for (; next < argc; ++next) {
    const std::wstring option = argv[next];
    if (option == L"--help" || option == L"-h") {
      Output().Print(kUsage);
      return 0;
    }
    if (option == L"--version") {
      const std::string version = XP3PATCH_VERSION;
      Output().Print(L"launcher " + std::wstring(version.begin(), version.end()) + L"\n");
      return 0;
    }
    if (option == L"--keep-directory") {
      keep_directory = true;
      continue;
    }
    if (option.size() > 1 && option[0] == L'-' && option != L"--") {
      Fail(L"unknown option " + option + L" (launcher --help lists the options)");
      return kUsageError;
    }
    break;
  }
  if (argc - next < 2 || (argc - next > 2 && std::wstring(argv[next + 2]) != L"--")) {
    // The whole text, so that a box shown without a console says it too.
    std::wstring text = L"expected GAME.EXE PATCH.DLL [-- GAME ARGUMENTS...]\n\n";
    text += kUsage;
    text.pop_back();  // Error() ends the line
    Fail(text);
    return kUsageError;
  }
  const std::wstring game = FullPathOf(argv[next]);
  const std::wstring dll = FullPathOf(argv[next + 1]);
  if (!CheckImage(game, L"game") || !CheckImage(dll, L"patch DLL")) return kLaunchError;
  // Only the patch is loaded as the patch: any other DLL or program would
  // load (or not) without translating anything, and say nothing.
  if (!FileIsPatch(dll.c_str())) {
    Fail(L"not the language patch (its version resource does not say xp3patch language patch): " +
         dll);
    return kLaunchError;
  }
  // Null keeps the launcher's own current directory.
  const std::wstring game_folder = keep_directory ? std::wstring() : FolderOf(game);

  std::vector<std::wstring> arguments = {game};
  for (int i = next + 3; i < argc; ++i) arguments.push_back(argv[i]);
  std::wstring command_line = JoinCommandLine(arguments);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(game.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, game_folder.empty() ? nullptr : game_folder.c_str(), &startup,
                      &info)) {
    Fail(L"cannot start " + game + L": " + SystemWideText(GetLastError()));
    return kLaunchError;
  }
  if (!QueueLoad(info.hProcess, info.hThread, dll)) {
    Fail(L"cannot load " + dll + L" into the game: " + SystemWideText(GetLastError()));
    TerminateProcess(info.hProcess, kLaunchError);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return kLaunchError;
  }
  DWORD exit_code = 0;
  if (!RunUntilLoaded(info.hProcess, info.hThread, &exit_code)) {
    Fail(L"the game ended (exit code " + Hex(exit_code) +
         L") before the patch DLL could be seen loaded: " + dll);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return kLaunchError;
  }
  if (!HasModule(info.dwProcessId, dll)) {
    Fail(
        L"the patch DLL did not load into the game (its start-up failed, or a DLL it needs "
        L"is missing): " +
        dll);
    TerminateProcess(info.hProcess, kLaunchError);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return kLaunchError;
  }
  ResumeThread(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(exit_code);
}
