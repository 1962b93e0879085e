// Mounting a large archive, and searching a directory while it is mounted.
//
//   bench_mount [entries] [directories] [repeats]
//
// Mount: an archive of `entries` small entries (default 100,000) spread over
// `directories` directories (default 1,000), with a compressed index. The
// time to mount it into a fresh overlay is compared with the time to read
// and decode the index bytes alone (the least any mount must do), and the
// memory a mounted entry holds is measured twice: the heap bytes the C++
// allocations of the mount keep (counted by this program's operator new),
// and the growth of the process's private bytes.
//
// Search: with the archive mounted in the process's overlay and the hooks
// attached, a FindFirstFileExW/FindNextFileW/FindClose walk of one archive
// directory (entries/directories records) against the system's own walk of
// a real directory holding as many files.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive/xp3_archive.h"
#include "bench/bench_common.h"
#include "bench/bench_support.h"
#include "startup/process_globals.h"

// Heap accounting: every C++ allocation of this program carries a header
// with its size, so that the live bytes can be read at any moment.
namespace {
long long g_live_bytes = 0;
long long g_live_blocks = 0;
constexpr size_t kHeader = 16;
}  // namespace

void* operator new(size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(block) = size;
  __atomic_add_fetch(&g_live_bytes, static_cast<long long>(size), __ATOMIC_RELAXED);
  __atomic_add_fetch(&g_live_blocks, 1, __ATOMIC_RELAXED);
  return block + kHeader;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  __atomic_sub_fetch(&g_live_bytes, static_cast<long long>(*reinterpret_cast<size_t*>(block)),
                     __ATOMIC_RELAXED);
  __atomic_sub_fetch(&g_live_blocks, 1, __ATOMIC_RELAXED);
  std::free(block);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

using bench::Format;
using bench::Median;
using bench::Note;
using bench::Now;

// Reads the header and the compressed index block with the system's file
// functions and decodes it with zlib: everything a mount cannot avoid.
// Returns the seconds taken, -1 on failure; `*index_bytes` gets the decoded
// size.
double TimeIndexAlone(const std::wstring& path, uint64_t* index_bytes) {
  const double start = Now();
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  unsigned char header[19];
  unsigned char block[17];
  DWORD got = 0;
  bool ok = ReadFile(file, header, sizeof header, &got, nullptr) && got == sizeof header;
  uint64_t offset = 0;
  std::memcpy(&offset, header + 11, 8);
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  ok = ok && SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
       ReadFile(file, block, sizeof block, &got, nullptr) && got == sizeof block && block[0] == 1;
  uint64_t packed_size = 0;
  uint64_t unpacked_size = 0;
  std::memcpy(&packed_size, block + 1, 8);
  std::memcpy(&unpacked_size, block + 9, 8);
  std::vector<unsigned char> packed(ok ? packed_size : 0);
  std::vector<unsigned char> index(ok ? unpacked_size : 0);
  ok = ok && ReadFile(file, packed.data(), static_cast<DWORD>(packed.size()), &got, nullptr) &&
       got == packed.size();
  CloseHandle(file);
  uLongf length = static_cast<uLongf>(index.size());
  ok =
      ok &&
      uncompress(index.data(), &length, packed.data(), static_cast<uLong>(packed.size())) == Z_OK &&
      length == index.size();
  *index_bytes = index.size();
  return ok ? Now() - start : -1;
}

// A complete walk; returns the seconds taken, -1 when the count is not
// `expected`. `real` walks through the hook table's slots (the system).
double TimeWalk(const std::wstring& pattern, bool real, int expected) {
  const HookTable& slots = TheHookTable();
  auto first = real ? slots.file.FindFirstFileExW : &::FindFirstFileExW;
  auto next = real ? slots.file.FindNextFileW : &::FindNextFileW;
  auto close = real ? slots.file.FindClose : &::FindClose;
  WIN32_FIND_DATAW record;
  const double start = Now();
  HANDLE find =
      first(pattern.c_str(), FindExInfoStandard, &record, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return -1;
  int count = 1;
  while (next(find, &record)) ++count;
  close(find);
  const double seconds = Now() - start;
  return count == expected ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int directories = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const int per_directory = entries / directories;
  Note("== Mount: %d entries in %d directories, compressed index, %d repeats\n", entries,
       directories, repeats);

  const std::string base = TheOverlay().BaseDirectory();
  const std::string data_directory = base + "\\bench-data";
  CreateDirectoryW(bench::Wide(data_directory).c_str(), nullptr);
  const std::string archive = data_directory + "\\many.xp3";
  {
    const double start = Now();
    Xp3WriterOptions options;
    options.compression = Xp3Compression::kNone;  // the entries are tiny; the index is compressed
    Xp3Writer writer(options);
    std::string error;
    bool ok = writer.Open(archive, &error);
    for (int i = 0; ok && i < entries; ++i) {
      const std::string name =
          Format("bench-data/many/dir%04d/entry%06d.txt", i / per_directory, i);
      ok = writer.AddEntry(name, name.data(), name.size(), &error);
    }
    if (!ok || !writer.Finish(&error)) {
      Note("packing failed: %s\n", error.c_str());
      return 1;
    }
    Note("  archive %.1f MiB, packed in %.1f s\n", bench::FileSizeOf(archive) / 1048576.0,
         Now() - start);
  }
  const std::wstring archive_wide = bench::Wide(archive);

  // Memory first, in a process that has not mounted anything yet.
  const long long heap_before = g_live_bytes;
  const long long blocks_before = g_live_blocks;
  const uint64_t private_before = bench::PrivateBytes();
  auto* measured = new OverlayRegistry(base);
  if (!measured->Mount(archive) || measured->Index().size() != static_cast<size_t>(entries)) {
    Note("mount failed\n");
    return 1;
  }
  const double heap_per_entry = static_cast<double>(g_live_bytes - heap_before) / entries;
  const double blocks_per_entry = static_cast<double>(g_live_blocks - blocks_before) / entries;
  const double private_per_entry =
      (static_cast<double>(bench::PrivateBytes()) - static_cast<double>(private_before)) / entries;
  delete measured;

  std::vector<double> mount_times;
  std::vector<double> index_times;
  std::vector<double> parse_times;
  uint64_t index_bytes = 0;
  for (int i = 0; i < repeats; ++i) {
    const double index_seconds = TimeIndexAlone(archive_wide, &index_bytes);
    auto* registry = new OverlayRegistry(base);
    const double start = Now();
    const bool mounted = registry->Mount(archive);
    const double mount_seconds = Now() - start;
    delete registry;
    if (index_seconds < 0 || !mounted) {
      Note("timed mount failed\n");
      return 1;
    }
    index_times.push_back(index_seconds);
    // The archive layer's share of a mount: parsing the index into entries.
    const double parse_start = Now();
    auto* parsed = new Xp3Archive(archive, true);
    const bool parse_ok = parsed->ParseIndex();
    parse_times.push_back(Now() - parse_start);
    delete parsed;
    if (!parse_ok) return 1;
    mount_times.push_back(mount_seconds);
  }
  const double mount = Median(mount_times);
  const double index = Median(index_times);
  const double parse = Median(parse_times);
  Note(
      "  index %.1f MiB decoded; read+decode %.1f ms, Xp3Archive::ParseIndex %.1f ms, mount %.1f "
      "ms\n",
      index_bytes / 1048576.0, index * 1e3, parse * 1e3, mount * 1e3);
  bench::Row("4 mount", "of which Xp3Archive::ParseIndex alone (share of the mount)",
             Format("%.0f ms (%.0f%%)", parse * 1e3, 100 * parse / mount));
  Note(
      "  per entry: %.0f heap bytes in %.1f blocks (+ the heap's own block overhead), %.0f "
      "private bytes\n",
      heap_per_entry, blocks_per_entry, private_per_entry);
  bench::RowAtMost("4 mount",
                   Format("mount of %d entries vs reading+decoding the index (%.0f ms vs "
                          "%.0f ms)",
                          entries, mount * 1e3, index * 1e3),
                   mount / index, 3.0);
  bench::RowAtMost(
      "4 mount",
      Format("heap bytes per mounted entry (C++ allocations, %.1f blocks/entry)", blocks_per_entry),
      heap_per_entry, 400, " B");
  bench::RowAtMost("4 mount", "private bytes per mounted entry (process growth)", private_per_entry,
                   400, " B");

  // The search: the process's own overlay holds the archive.
  Note("== Search: one archive directory of %d entries among %d\n", per_directory, entries);
  if (!TheOverlay().Mount(archive)) return 1;
  const std::string real_directory = data_directory + "\\real-listing";
  CreateDirectoryW(bench::Wide(real_directory).c_str(), nullptr);
  for (int i = 0; i < per_directory; ++i) {
    const std::string path = Format("%s\\entry%06d.txt", real_directory.c_str(), i);
    if (!bench::WriteWholeFile(path, path.data(), path.size())) return 1;
  }
  if (!bench::AttachFileHooks()) return 1;
  const std::wstring archive_pattern =
      bench::Wide(Format("%s\\bench-data\\many\\dir%04d\\*", base.c_str(), directories / 2));
  const std::wstring real_pattern = bench::Wide(real_directory + "\\*");
  std::vector<double> archive_times;
  std::vector<double> real_times;
  for (int i = 0; i < repeats; ++i) {
    // The archive directory does not exist on disk: no "." and "..".
    const double archive_seconds = TimeWalk(archive_pattern, false, per_directory);
    const double real_seconds = TimeWalk(real_pattern, true, per_directory + 2);
    if (archive_seconds < 0 || real_seconds < 0) {
      Note("a walk listed the wrong number of records\n");
      return 1;
    }
    archive_times.push_back(archive_seconds);
    real_times.push_back(real_seconds);
  }
  for (int i = 0; i < per_directory; ++i) {
    DeleteFileW(bench::Wide(Format("%s\\entry%06d.txt", real_directory.c_str(), i)).c_str());
  }
  RemoveDirectoryW(bench::Wide(real_directory).c_str());
  const double searched = Median(archive_times);
  const double listed = Median(real_times);
  Note("  archive directory %.2f ms, system listing of %d real files %.2f ms\n", searched * 1e3,
       per_directory, listed * 1e3);
  bench::RowAtMost("5 search",
                   Format("walk of an archive directory of %d among %d entries vs the system's "
                          "walk of %d real files (%.2f ms vs %.2f ms)",
                          per_directory, entries, per_directory, searched * 1e3, listed * 1e3),
                   searched / listed, 2.0);
  return bench::DetachFileHooks() ? 0 : 1;
}
