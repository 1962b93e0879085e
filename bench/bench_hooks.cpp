// The cost of the file hooks on calls that are not for the overlay.
//
//   bench_hooks [rounds (30)] [scale (1)]
//
// With a small archive mounted, each round measures a batch of calls with
// the hooks attached and another with them detached, in alternating order;
// the figures are the medians over the rounds, and the ratios are
// hooked/unhooked time per call. The calls: CreateFileW+CloseHandle and
// GetFileAttributesW of a real file (one in the game directory, where every
// call is checked against the overlay's index, and one outside it), 4 KiB
// ReadFile of a real handle, GetFileType, the handle functions redirected
// beside the thirteen (information and time queries, the final path,
// ReadFileEx, DuplicateHandle, CreateFileMappingW, WriteFile and SetFileTime
// of real handles), and a complete FindFirstFileExW/FindNextFileW/FindClose
// walk of a real directory outside the game directory. `scale` multiplies
// the batch sizes.
//
// Then, with a loose folder laid over the archive (as XP3PATCH_DEV_DIR lays
// it; none is laid during the measurements above), the open of one of its
// files by the game's path, hooked, against an open of the same file by its
// own path on disk with the hooks detached, alternately in the same rounds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_support.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_handle_functions.h"
#include "overlay/loose_folder.h"
#include "overlay/overlay_host.h"
#include "startup/process_globals.h"

namespace {

using bench::Format;
using bench::Note;
using bench::Now;

struct Operation {
  Operation(std::string n, int c, double m, std::function<bool()> f)
      : name(std::move(n)), calls(c), maximum_ratio(m), call(std::move(f)) {}
  std::string name;
  int calls;  // per batch
  double maximum_ratio;
  std::function<bool()> call;
  // The decisions the replacements make before passing this call on, timed
  // alone: without system calls in them, they measure steadily what the
  // hooks add, where the whole calls vary by more than that from batch to
  // batch.
  std::function<bool()> routing;
  // Seconds per call: [0] unhooked, [1] hooked, [2] the replacements called
  // directly with the hooks detached (the replacements' own work, without
  // the jump through the patched system code), [3] unhooked again: the
  // ratio of [3] to [0] is the noise of the machine for the same work.
  std::vector<double> times[4];
};

// The file functions a batch calls: the system's (patched or not) or the
// replacements themselves.
struct Api {
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::ReadFile) ReadFile;
  decltype(&::GetFileType) GetFileType;
  decltype(&::FindFirstFileExW) FindFirstFileExW;
  decltype(&::FindNextFileW) FindNextFileW;
  decltype(&::FindClose) FindClose;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
  decltype(&::GetFileTime) GetFileTime;
  decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
  decltype(&::ReadFileEx) ReadFileEx;
  decltype(&::DuplicateHandle) DuplicateHandle;
  decltype(&::CreateFileMappingW) CreateFileMappingW;
  decltype(&::WriteFile) WriteFile;
  decltype(&::SetFileTime) SetFileTime;
};
const Api kSystem = {&::CreateFileW,
                     &::CloseHandle,
                     &::GetFileAttributesW,
                     &::ReadFile,
                     &::GetFileType,
                     &::FindFirstFileExW,
                     &::FindNextFileW,
                     &::FindClose,
                     &::GetFileInformationByHandle,
                     &::GetFileInformationByHandleEx,
                     &::GetFileTime,
                     &::GetFinalPathNameByHandleW,
                     &::ReadFileEx,
                     &::DuplicateHandle,
                     &::CreateFileMappingW,
                     &::WriteFile,
                     &::SetFileTime};
const Api kReplacements = {&HookedCreateFileW,
                           &HookedCloseHandle,
                           &HookedGetFileAttributesW,
                           &HookedReadFile,
                           &HookedGetFileType,
                           &HookedFindFirstFileExW,
                           &HookedFindNextFileW,
                           &HookedFindClose,
                           &HookedGetFileInformationByHandle,
                           &HookedGetFileInformationByHandleEx,
                           &HookedGetFileTime,
                           &HookedGetFinalPathNameByHandleW,
                           &HookedReadFileEx,
                           &HookedDuplicateHandle,
                           &HookedCreateFileMappingW,
                           &HookedWriteFile,
                           &HookedSetFileTime};
const Api* api = &kSystem;

bool CreateAndClose(const std::wstring& path) {
  HANDLE file = api->CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file != INVALID_HANDLE_VALUE && api->CloseHandle(file);
}

// The routing tests of the replacements: a path is the overlay's when it
// names an overlaid file, a handle when it is one of the overlay's own.
int Routes(const std::wstring& path) { return TheOverlay().Exists(path.c_str()) ? 1 : 0; }
int Routes(HANDLE handle) { return TheOverlay().IsOwnHandle(handle) ? 1 : 0; }

// Seconds per call of `routing`, the median of several timed loops.
double TimeRouting(const std::function<bool()>& routing) {
  constexpr int kLoops = 9;
  constexpr int kCalls = 20000;
  std::vector<double> times;
  for (int loop = 0; loop < kLoops; ++loop) {
    int wrong = 0;
    const double start = bench::Now();
    for (int i = 0; i < kCalls; ++i) wrong += routing() ? 0 : 1;
    times.push_back((bench::Now() - start) / kCalls);
    if (wrong != 0) return -1;
  }
  return bench::Median(times);
}

void CALLBACK IgnoreCompletion(DWORD, DWORD, OVERLAPPED*) {}

// The open of a file of a loose folder by the game's path (hooked) against
// the open of the same file by its own path on disk (unhooked), in
// alternating batches; one row with the ratio of the medians.
bool MeasureLooseOpen(const std::string& data_directory, int rounds, int calls) {
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dev =
      std::wstring(temp) + L"xp3bench-loose-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring dev_directory = dev + L"\\bench-data";
  const std::wstring loose_file = dev_directory + L"\\loose.txt";
  CreateDirectoryW(dev.c_str(), nullptr);
  CreateDirectoryW(dev_directory.c_str(), nullptr);
  HANDLE file =
      CreateFileW(loose_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const std::vector<uint8_t> bytes = bench::TextLikeData(4096, 5);
  DWORD written = 0;
  const bool made = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, bytes.data(), 4096, &written, nullptr) && CloseHandle(file);
  std::string problem;
  std::unique_ptr<LooseFolder> folder = LooseFolder::Open(dev, &RealFunctions(), &problem);
  bool ok = made && folder != nullptr;
  if (ok) TheOverlay().MountLooseFolder(std::move(folder));
  const std::wstring game_path = bench::Wide(data_directory + "\\loose.txt");
  // state 0: the disk file directly, unhooked; 1: the game's path, hooked.
  std::vector<double> times[2];
  for (int round = 0; ok && round < rounds * 2; ++round) {
    const int state = (round + round / 2) % 2;
    if (state == 1 && !bench::AttachFileHooks()) return false;
    const std::wstring& path = state == 0 ? loose_file : game_path;
    const double start = Now();
    for (int i = 0; i < calls; ++i) ok = CreateAndClose(path) && ok;
    times[state].push_back((Now() - start) / calls);
    if (state == 1 && !bench::DetachFileHooks()) return false;
  }
  // The loose file must be what the game's path opened.
  if (ok && bench::AttachFileHooks()) {
    HANDLE opened =
        CreateFileW(game_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {};
    ok = opened != INVALID_HANDLE_VALUE && GetFileSizeEx(opened, &size) && size.QuadPart == 4096 &&
         !TheOverlay().IsOwnHandle(opened) && CloseHandle(opened);
    ok = bench::DetachFileHooks() && ok;
  }
  TheOverlay().MountLooseFolder(nullptr);
  DeleteFileW(loose_file.c_str());
  RemoveDirectoryW(dev_directory.c_str());
  RemoveDirectoryW(dev.c_str());
  if (!ok) {
    Note("the loose folder's open fails: %s\n", problem.c_str());
    return false;
  }
  const double disk = bench::Median(times[0]);
  const double loose = bench::Median(times[1]);
  Note("  %-62s disk %8.2f us, loose folder %8.2f us\n",
       "CreateFileW+CloseHandle, loose folder file", disk * 1e6, loose * 1e6);
  bench::RowAtMost("6 loose folder",
                   Format("CreateFileW+CloseHandle of a loose-folder file by the game's path vs "
                          "the same file opened on disk directly (%.1f us vs %.1f us)",
                          loose * 1e6, disk * 1e6),
                   loose / disk, 2.00);
  return true;
}

bool WalkDirectory(const std::wstring& pattern, int expected) {
  WIN32_FIND_DATAW record;
  HANDLE find = api->FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record,
                                      FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  int count = 1;
  while (api->FindNextFileW(find, &record)) ++count;
  return api->FindClose(find) && count == expected;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
  const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
  Note("== Hooks on calls not for the overlay: %d rounds, batch scale %.2f\n", rounds, scale);

  // The overlay holds a small archive, as during a game.
  const std::string base = TheOverlay().BaseDirectory();
  const std::string data_directory = base + "\\bench-data";
  CreateDirectoryW(bench::Wide(data_directory).c_str(), nullptr);
  {
    std::vector<std::vector<uint8_t>> contents;
    std::vector<bench::PackEntry> entries;
    contents.reserve(1000);
    for (int i = 0; i < 1000; ++i) {
      contents.push_back(bench::TextLikeData(200, i));
    }
    for (int i = 0; i < 1000; ++i) {
      entries.push_back({Format("bench-data/hooks/d%02d/f%03d.txt", i / 100, i), &contents[i]});
    }
    const std::string archive = data_directory + "\\hooks.xp3";
    if (bench::PackArchive(archive, entries, Xp3WriterOptions()) == 0 ||
        !TheOverlay().Mount(archive)) {
      return 1;
    }
  }

  // Real files: one in the game directory, one outside it, and a directory
  // of 100 files outside it.
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring outside =
      std::wstring(temp) + L"xp3bench-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(outside.c_str(), nullptr);
  const std::vector<uint8_t> bytes = bench::TextLikeData(65536, 3);
  const std::wstring inside_file = bench::Wide(data_directory + "\\hooks-real.bin");
  const std::wstring outside_file = outside + L"\\real.bin";
  std::vector<std::wstring> created = {inside_file, outside_file};
  // The same walk next to the game directory, on its drive.
  WCHAR full[MAX_PATH];
  GetFullPathNameW(
      bench::Wide(base + "\\..\\xp3bench-walk-" + std::to_string(GetCurrentProcessId())).c_str(),
      MAX_PATH, full, nullptr);
  const std::wstring sibling = full;
  CreateDirectoryW(sibling.c_str(), nullptr);
  for (int i = 0; i < 101; ++i)
    created.push_back(sibling + L"\\walk-" + std::to_wstring(i) + L".txt");
  for (int i = 0; i < 100; ++i)
    created.push_back(outside + L"\\walk-" + std::to_wstring(i) + L".txt");
  for (const std::wstring& path : created) {
    HANDLE file =
        api->CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const DWORD length = path == inside_file || path == outside_file ? 65536 : 100;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), length, &written, nullptr)) {
      Note("cannot create %ls\n", path.c_str());
      return 1;
    }
    api->CloseHandle(file);
  }
  HANDLE reader = api->CreateFileW(outside_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return 1;
  // Beside the walked directory, not in it.
  const std::wstring written_file = outside + L"-written.bin";
  HANDLE writer = api->CreateFileW(written_file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (writer == INVALID_HANDLE_VALUE) return 1;
  static uint8_t buffer[4096];
  static const FILETIME kWriteTime = {0x12345678, 0x01D00000};

  auto batch = [scale](int calls) {
    return calls * scale < 1 ? 1 : static_cast<int>(calls * scale);
  };
  std::vector<Operation> operations;
  operations.push_back(Operation("CreateFileW+CloseHandle, real file outside the game directory",
                                 batch(400), 1.10, [&] { return CreateAndClose(outside_file); }));
  operations.back().routing = [&] { return Routes(outside_file) + Routes(reader) == 0; };
  operations.push_back(Operation("CreateFileW+CloseHandle, real file in the game directory",
                                 batch(400), 1.10, [&] { return CreateAndClose(inside_file); }));
  operations.back().routing = [&] { return Routes(inside_file) + Routes(reader) == 0; };
  operations.push_back(Operation(
      "GetFileAttributesW, real file outside the game directory", batch(1000), 1.10,
      [&] { return api->GetFileAttributesW(outside_file.c_str()) != INVALID_FILE_ATTRIBUTES; }));
  operations.back().routing = [&] { return Routes(outside_file) == 0; };
  operations.push_back(Operation(
      "GetFileAttributesW, real file in the game directory", batch(1000), 1.10,
      [&] { return api->GetFileAttributesW(inside_file.c_str()) != INVALID_FILE_ATTRIBUTES; }));
  operations.back().routing = [&] { return Routes(inside_file) == 0; };
  operations.push_back(Operation("ReadFile 4 KiB, real handle", batch(2000), 1.02, [&] {
    OVERLAPPED at = {};  // offset 0 every time
    DWORD got = 0;
    return api->ReadFile(reader, buffer, sizeof buffer, &got, &at) && got == sizeof buffer;
  }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(Operation("GetFileType, real handle", batch(4000), 1.02,
                                 [&] { return api->GetFileType(reader) == FILE_TYPE_DISK; }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  // The handle functions redirected beside the thirteen, on the real handle.
  operations.push_back(Operation("GetFileInformationByHandle, real handle", batch(200), 1.02, [&] {
    BY_HANDLE_FILE_INFORMATION information;
    return api->GetFileInformationByHandle(reader, &information) != FALSE;
  }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(
      Operation("GetFileInformationByHandleEx (standard), real handle", batch(2000), 1.02, [&] {
        FILE_STANDARD_INFO standard;
        return api->GetFileInformationByHandleEx(reader, FileStandardInfo, &standard,
                                                 sizeof standard) != FALSE;
      }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(Operation("GetFileTime, real handle", batch(2000), 1.02, [&] {
    FILETIME time;
    return api->GetFileTime(reader, nullptr, nullptr, &time) != FALSE;
  }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(Operation("GetFinalPathNameByHandleW, real handle", batch(500), 1.02, [&] {
    WCHAR path[MAX_PATH * 2];
    return api->GetFinalPathNameByHandleW(reader, path, MAX_PATH * 2, 0) != 0;
  }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(
      Operation("ReadFileEx 4 KiB and its completion, real handle", batch(500), 1.02, [&] {
        OVERLAPPED at = {};
        return api->ReadFileEx(reader, buffer, sizeof buffer, &at, &IgnoreCompletion) &&
               SleepEx(0, TRUE) == WAIT_IO_COMPLETION;
      }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(Operation("DuplicateHandle+CloseHandle, real handle", batch(500), 1.02, [&] {
    HANDLE duplicate = nullptr;
    return api->DuplicateHandle(GetCurrentProcess(), reader, GetCurrentProcess(), &duplicate, 0,
                                FALSE, DUPLICATE_SAME_ACCESS) &&
           api->CloseHandle(duplicate);
  }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(
      Operation("CreateFileMappingW+CloseHandle, real handle", batch(500), 1.02, [&] {
        HANDLE mapping = api->CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
        return mapping != nullptr && api->CloseHandle(mapping);
      }));
  operations.back().routing = [&] { return Routes(reader) == 0; };
  operations.push_back(Operation("WriteFile 4 KiB, real handle", batch(1000), 1.02, [&] {
    OVERLAPPED at = {};  // offset 0 every time
    DWORD written = 0;
    return api->WriteFile(writer, buffer, sizeof buffer, &written, &at) && written == sizeof buffer;
  }));
  operations.back().routing = [&] { return Routes(writer) == 0; };
  operations.push_back(Operation("SetFileTime, real handle", batch(2000), 1.02, [&] {
    return api->SetFileTime(writer, nullptr, nullptr, &kWriteTime) != FALSE;
  }));
  operations.back().routing = [&] { return Routes(writer) == 0; };

  const std::wstring walk_pattern = outside + L"\\*";
  const std::wstring sibling_pattern = sibling + L"\\*";
  operations.push_back(
      Operation("directory walk (103 records) outside the game directory, other drive", batch(100),
                1.05, [&] { return WalkDirectory(walk_pattern, 103); }));
  operations.push_back(
      Operation("directory walk (103 records) next to the game directory, same drive", batch(100),
                1.05, [&] { return WalkDirectory(sibling_pattern, 103); }));

  // Check every call once in every state before timing. State 0 calls the
  // system unhooked, 1 the system hooked, 2 the replacements directly.
  // State 3 repeats state 0.
  auto enter = [](int state) {
    api = state == 2 ? &kReplacements : &kSystem;
    return state != 1 || bench::AttachFileHooks();
  };
  auto leave = [](int state) {
    api = &kSystem;
    return state != 1 || bench::DetachFileHooks();
  };
  for (int state = 0; state < 3; ++state) {
    if (!enter(state)) return 1;
    for (Operation& op : operations) {
      if (!op.call()) {
        Note("%s fails (state %d)\n", op.name.c_str(), state);
        return 1;
      }
    }
    if (!leave(state)) return 1;
  }

  // The states in rotating order, forwards and backwards, so that a drift of
  // the machine's speed during the run weighs on each state alike.
  for (int round = 0; round < rounds; ++round) {
    int order[4];
    for (int i = 0; i < 4; ++i) {
      const int at = (round / 4) % 2 == 0 ? i : 3 - i;
      order[at] = (round + i) % 4;
    }
    for (int state : order) {
      if (!enter(state)) return 1;
      for (Operation& op : operations) {
        const double start = Now();
        for (int i = 0; i < op.calls; ++i) op.call();
        op.times[state].push_back((Now() - start) / op.calls);
      }
      if (!leave(state)) return 1;
    }
  }
  api->CloseHandle(reader);
  api->CloseHandle(writer);
  for (const std::wstring& path : created) DeleteFileW(path.c_str());
  RemoveDirectoryW(outside.c_str());
  RemoveDirectoryW(sibling.c_str());

  if (!MeasureLooseOpen(data_directory, rounds, batch(200))) return 1;

  for (Operation& op : operations) {
    // Both unhooked batches measure the same thing: together they are the
    // reference, and their disagreement is the noise floor of the run.
    std::vector<double> both = op.times[0];
    both.insert(both.end(), op.times[3].begin(), op.times[3].end());
    const double unhooked = bench::Median(both);
    const double hooked = bench::Median(op.times[1]);
    const double direct = bench::Median(op.times[2]);
    const double noise = bench::Median(op.times[3]) / bench::Median(op.times[0]);
    const double routing = op.routing ? TimeRouting(op.routing) : -1;
    const std::string routing_text =
        routing < 0 ? std::string()
                    : Format("; routing work %.0f ns = %.2f%% of the unhooked call", routing * 1e9,
                             routing / unhooked * 100);
    Note(
        "  %-62s unhooked %8.2f us, hooked %8.2f us, replacement called directly %8.2f us, "
        "unhooked twice %.3fx\n",
        op.name.c_str(), unhooked * 1e6, hooked * 1e6, direct * 1e6, noise);
    bench::RowAtMost("3 hook cost",
                     Format("%s (unhooked %.1f us, hooked %.1f us; replacement called directly "
                            "%.1f us; noise: unhooked against unhooked %.3fx%s)",
                            op.name.c_str(), unhooked * 1e6, hooked * 1e6, direct * 1e6, noise,
                            routing_text.c_str()),
                     hooked / unhooked, op.maximum_ratio);
  }
  return 0;
}
