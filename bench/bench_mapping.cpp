// A file mapping of a large overlaid file against the same file on disk.
//
//   bench_mapping [MiB]
//
// One entry of MiB mebibytes (default 1024), packed with zstd, and its copy
// on disk. For each: the time to create a read-only mapping of the whole
// file, and the time to map and read one 64 KiB view at its end; for the
// overlaid file also the growth of the process's committed private memory
// from before the mapping to after the view. An overlaid file has no bytes
// on disk for the system to map, so the patch decodes it into a temporary
// file when the mapping is made: that is what the creation time measures,
// and why the memory stays far below the entry's size.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_support.h"
#include "startup/process_globals.h"

namespace {

using bench::Format;
using bench::Note;
using bench::Now;

constexpr uint32_t kView = 64 * 1024;

struct Timing {
  double create = 0;  // CreateFileMappingW
  double view = 0;    // MapViewOfFile of the last 64 KiB and reading it
  uint64_t sum = 0;   // of the viewed bytes, so that the two can be compared
  bool ok = false;
};

Timing MapTheEnd(const std::wstring& path, uint64_t size) {
  Timing timing;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return timing;
  double start = Now();
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  timing.create = Now() - start;
  if (mapping != nullptr) {
    const uint64_t offset = size - kView;  // a multiple of the allocation granularity
    start = Now();
    const auto* view = static_cast<const unsigned char*>(
        MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                      static_cast<DWORD>(offset), kView));
    if (view != nullptr) {
      for (uint32_t i = 0; i < kView; ++i) timing.sum += view[i];
      timing.view = Now() - start;
      timing.ok = true;
      UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
  }
  CloseHandle(file);
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t size = mib << 20;
  const std::string base = TheOverlay().BaseDirectory();
  const std::string disk = base + "\\bench-mapping-disk.bin";
  const std::string archive = base + "\\bench-mapping.xp3";
  Note("== Mapping: an entry of %llu MiB (zstd) and its copy on disk\n",
       static_cast<unsigned long long>(mib));

  // The disk copy, written in pieces (a 32-bit process has no room for the
  // whole file at once), then packed from it.
  std::FILE* out = _wfopen(bench::Wide(disk).c_str(), L"wb");
  if (out == nullptr) return 1;
  const std::vector<uint8_t> piece = bench::TextLikeData(1 << 20, 7);
  for (uint64_t i = 0; i < mib; ++i) {
    if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) return 1;
  }
  std::fclose(out);
  {
    Xp3WriterOptions options;
    options.compression = Xp3Compression::kZstd;
    Xp3Writer writer(options);
    std::string error;
    std::FILE* in = _wfopen(bench::Wide(disk).c_str(), L"rb");
    if (in == nullptr || !writer.Open(archive, &error) ||
        !writer.AddEntryFromFile("bench-mapping/entry.bin", in, &error) || !writer.Finish(&error)) {
      Note("packing failed: %s\n", error.c_str());
      return 1;
    }
    std::fclose(in);
  }
  if (!TheOverlay().Mount(archive) || !bench::AttachFileHooks()) return 1;

  const Timing on_disk = MapTheEnd(bench::Wide(disk), size);
  const uint64_t before = bench::PrivateBytes();
  const Timing overlaid = MapTheEnd(bench::Wide(base + "\\bench-mapping\\entry.bin"), size);
  const uint64_t after = bench::PrivateBytes();
  const bool detached = bench::DetachFileHooks();
  DeleteFileW(bench::Wide(disk).c_str());
  if (!on_disk.ok || !overlaid.ok || on_disk.sum != overlaid.sum) {
    Note("a mapping failed, or the views differ\n");
    return 1;
  }
  const double growth = after > before ? static_cast<double>(after - before) : 0.0;
  Note("  disk: mapping %.2f ms, 64 KiB view at the end %.2f ms\n", on_disk.create * 1e3,
       on_disk.view * 1e3);
  Note(
      "  overlaid: mapping %.0f ms (%.0f MiB/s decoded into the backing file), view %.2f ms, "
      "private memory +%.1f MiB\n",
      overlaid.create * 1e3, static_cast<double>(mib) / overlaid.create, overlaid.view * 1e3,
      growth / (1 << 20));
  bench::Row(
      "9 mapping",
      Format("mapping of a %llu MiB entry vs its disk copy (%.0f ms vs %.2f ms)",
             static_cast<unsigned long long>(mib), overlaid.create * 1e3, on_disk.create * 1e3),
      Format("%.0fx", overlaid.create / on_disk.create));
  bench::Row("9 mapping",
             Format("64 KiB view at the end vs its disk copy (%.2f ms vs %.2f ms)",
                    overlaid.view * 1e3, on_disk.view * 1e3),
             Format("%.2fx", overlaid.view / on_disk.view));
  bench::RowAtMost("9 mapping", "private memory growth over the entry's size", growth / size, 0.05);
  return detached ? 0 : 1;
}
