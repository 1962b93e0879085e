// A game stand-in whose other threads never stop using the file functions:
// what the patch meets in a real game, where sound, loading and rendering
// threads run while GameEntry starts the patch and while the player quits.
//
// Usage (in the game directory, beside patch.dll and its archives):
//   busy_game files DIR       writes the translation's sources into DIR and
//                             the game's own files into the current directory
//   busy_game startup ROUNDS  per round: reader threads start, the patch is
//                             loaded, another thread calls GameEntry, the
//                             readers check every answer, and the patch is
//                             freed while they read (it stays loaded: the
//                             first round starts it, later ones find it
//                             live); exit code 0 when every answer was right
//   busy_game exit SEED       the patch is started, reader threads read the
//                             compressed overlaid files in a loop, and the main
//                             thread calls ExitProcess(0) after a short while
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The overlaid file: on disk the game has its own, shorter version.
constexpr wchar_t kOverlaid[] = L"data\\a.txt";
constexpr wchar_t kRealOnly[] = L"data\\real.txt";
constexpr wchar_t kArchiveOnly[] = L"data\\only.txt";
constexpr wchar_t kLarge[] = L"data\\large.bin";

std::string Pattern(size_t size, unsigned seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>((i * 7 + i / 251 + seed) & 0xFF);
  }
  return text;
}

const std::string& Translated() {
  static const std::string text = Pattern(96 * 1024, 1);
  return text;
}
const std::string& Original() {
  static const std::string text = "original-a: the game's own text";
  return text;
}
const std::string& Real() {
  static const std::string text = Pattern(5000, 3);
  return text;
}
const std::string& Large() {
  static const std::string text = Pattern(512 * 1024, 5);
  return text;
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

// Reads a whole file through CreateFileW and ReadFile in pieces of odd sizes;
// false when it cannot be opened or a read fails.
bool ReadWhole(const wchar_t* path, std::string* out) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  out->clear();
  char buffer[7001];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(h);
      return error == ERROR_HANDLE_EOF;
    }
    if (got == 0) break;
    out->append(buffer, got);
  }
  CloseHandle(h);
  return true;
}

HMODULE g_patch = nullptr;
std::atomic<bool> g_stop{false};
// Set once GameEntry has returned: from then on only the overlay answers.
std::atomic<bool> g_live{false};
std::atomic<long> g_errors{0};
std::atomic<long> g_reads{0};

void Error(const char* what, const std::string& detail) {
  if (g_errors.fetch_add(1) < 10) std::printf("ERROR: %s %s\n", what, detail.c_str());
}

DWORD WINAPI StartupReader(void* seed_pointer) {
  unsigned step = static_cast<unsigned>(reinterpret_cast<uintptr_t>(seed_pointer));
  std::string data;
  while (!g_stop) {
    const bool live = g_live;  // read before the call: the answer may only get newer
    switch (step++ % 3) {
      case 0:
        if (!ReadWhole(kOverlaid, &data)) {
          Error("read of data\\a.txt failed", std::to_string(GetLastError()));
        } else if (data != Translated() && (live || data != Original())) {
          Error("data\\a.txt: wrong bytes, size", std::to_string(data.size()));
        }
        break;
      case 1:
        if (!ReadWhole(kRealOnly, &data) || data != Real()) Error("data\\real.txt:", "wrong");
        break;
      case 2: {
        const DWORD attributes = GetFileAttributesW(kArchiveOnly);
        if (live && attributes == INVALID_FILE_ATTRIBUTES) {
          Error("data\\only.txt not found after start-up", "");
        }
        break;
      }
    }
    ++g_reads;
  }
  return 0;
}

DWORD WINAPI CallGameEntry(void*) {
  auto* entry = reinterpret_cast<DWORD(WINAPI*)(DWORD, DWORD, DWORD, DWORD)>(
      reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x12A090);
  return entry(1, 2, 3, 4);
}

// A thread that only computes: enlisted and suspended by every transaction
// without ever touching a redirected function.
DWORD WINAPI Bystander(void*) {
  volatile unsigned sum = 0;
  while (!g_stop) sum = sum + 1;
  return 0;
}

int Startup(int rounds) {
  constexpr int kReaders = 4;
  std::printf("startup: begin\n");
  std::fflush(stdout);
  for (int round = 0; round < rounds; ++round) {
    g_stop = false;
    g_live = false;
    std::vector<HANDLE> threads;
    for (int i = 0; i < kReaders; ++i) {
      threads.push_back(CreateThread(nullptr, 0, StartupReader,
                                     reinterpret_cast<void*>(static_cast<uintptr_t>(i + round)), 0,
                                     nullptr));
    }
    threads.push_back(CreateThread(nullptr, 0, Bystander, nullptr, 0, nullptr));
    Sleep(round % 4);
    g_patch = LoadLibraryW(L"patch.dll");
    if (g_patch == nullptr) {
      std::printf("ERROR: patch.dll did not load\n");
      return 1;
    }
    Sleep(round % 3);
    HANDLE entry = CreateThread(nullptr, 0, CallGameEntry, nullptr, 0, nullptr);
    WaitForSingleObject(entry, INFINITE);
    DWORD result = 0;
    GetExitCodeThread(entry, &result);
    CloseHandle(entry);
    if (result != 10) Error("GameEntry returned", std::to_string(result));
    g_live = true;
    Sleep(20);
    // The game unloads the patch while its readers are inside the redirected
    // functions, and a bystander computes through it: the patch keeps itself
    // loaded, so every thread goes on, and the answers stay the patch's.
    HANDLE bystander = CreateThread(nullptr, 0, Bystander, nullptr, 0, nullptr);
    if (!FreeLibrary(g_patch)) Error("FreeLibrary failed", "");
    Sleep(10);
    if (GetModuleHandleW(L"patch.dll") == nullptr) Error("after FreeLibrary:", "patch unloaded");
    g_stop = true;
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE h : threads) CloseHandle(h);
    WaitForSingleObject(bystander, INFINITE);
    CloseHandle(bystander);
    std::string data;
    if (!ReadWhole(kOverlaid, &data) || data != Translated())
      Error("after FreeLibrary:", "not the translation");
  }
  std::printf("startup: %d rounds, %ld reads, %ld errors\n", rounds, g_reads.load(),
              g_errors.load());
  return g_errors == 0 ? 0 : 1;
}

DWORD WINAPI ExitReader(void* seed_pointer) {
  unsigned step = static_cast<unsigned>(reinterpret_cast<uintptr_t>(seed_pointer));
  std::string data;
  for (;;) {
    const bool large = step++ % 2 == 0;
    if (!ReadWhole(large ? kLarge : kOverlaid, &data)) {
      Error("read failed, error", std::to_string(GetLastError()));
    } else if (data != (large ? Large() : Translated())) {
      Error("wrong bytes, size", std::to_string(data.size()));
    }
    ++g_reads;
  }
}

// The files are overlaid when patch.dll is the patch; the same bytes lie on
// disk when it is a DLL that does nothing, the control of the exit test.
int Exit(unsigned seed) {
  // The first line: a failure before it is Wine's process start-up, before
  // any of the game's code or the patch ran.
  std::printf("exit %u: begin\n", seed);
  std::fflush(stdout);
  if (LoadLibraryW(L"patch.dll") == nullptr) return 3;
  if (CallGameEntry(nullptr) != 10) return 4;
  std::printf("started\n");
  std::fflush(stdout);
  for (uintptr_t i = 0; i < 4; ++i) {
    CreateThread(nullptr, 0, ExitReader, reinterpret_cast<void*>(i + seed), 0, nullptr);
  }
  // Quit at a moment that differs from run to run, once reading is under way.
  while (g_reads < 2) Sleep(1);
  Sleep(seed % 25);
  // Everything before this line is the game's; what follows is the
  // process's teardown, which the test judges apart.
  std::printf("exiting after %ld reads, %ld errors\n", g_reads.load(), g_errors.load());
  std::fflush(stdout);
  ExitProcess(g_errors == 0 ? 0 : 5);
}

int Files(const std::wstring& directory) {
  CreateDirectoryW((directory + L"\\data").c_str(), nullptr);
  CreateDirectoryW(L"data", nullptr);
  const bool ok = WriteWhole(directory + L"\\data\\a.txt", Translated()) &&
                  WriteWhole(directory + L"\\data\\only.txt", "only in the archive") &&
                  WriteWhole(directory + L"\\data\\large.bin", Large()) &&
                  WriteWhole(kOverlaid, Original()) && WriteWhole(kRealOnly, Real());
  return ok ? 0 : 1;
}

}  // namespace

// The game's own GameEntry body; the assembly stub at the fixed offset calls it.
extern "C" DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) { return a + b + c + d; }

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  const std::wstring arg = argc > 2 ? argv[2] : L"";
  if (mode == L"files") return Files(arg);
  if (mode == L"startup") return Startup(_wtoi(arg.c_str()));
  if (mode == L"exit") return Exit(static_cast<unsigned>(_wtoi(arg.c_str())));
  std::printf("usage: busy_game files DIR | startup ROUNDS | exit SEED\n");
  return 2;
}
