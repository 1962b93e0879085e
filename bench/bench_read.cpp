// Reading archive entries through the hooked file functions.
//
//   bench_read seq [MiB] [rounds] [segment KiB]
//     Sequential reads of one large entry (stored, zlib, zstd) in 64 KiB and
//     4 KiB requests through the hooked ReadFile, each against the fastest
//     reader of the same bytes: the real ReadFile of a plain file holding
//     them (stored) and decoding the entry's compressed segments from memory
//     with the same library (zlib, zstd). Rounds alternate the two, and the
//     ratio is taken between the medians.
//
//   bench_read random [MiB] [reads]
//     Random 4 KiB reads (seek and read) of one entry packed with several
//     segment sizes: time per read and archive size, the two sides of the
//     packer's segment size.
//
// Data lives below "bench-data" in the program's directory (the game
// directory of this process), which scripts/bench.sh removes afterwards.
#include <windows.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/xp3_archive.h"
#include "bench/bench_common.h"
#include "bench/bench_support.h"
#include "startup/process_globals.h"

namespace {

using bench::Format;
using bench::kMethods;
using bench::Median;
using bench::Method;
using bench::Note;
using bench::Now;

std::string DataDirectory() { return TheOverlay().BaseDirectory() + "\\bench-data"; }

// Reads the whole file in `chunk`-byte requests, through the hooked
// functions or (with `real`) through the hook table's slots, which reach the
// system's own functions. Returns the seconds taken, or -1 when the bytes
// read were not `expected` in number (or, with `check`, in content).
double TimeSequentialRead(const std::wstring& path, DWORD chunk, bool real, uint64_t expected,
                          const std::vector<uint8_t>* check) {
  const HookTable& slots = TheHookTable();
  auto create = real ? slots.file.CreateFileW : &::CreateFileW;
  auto read = real ? slots.file.ReadFile : &::ReadFile;
  auto close = real ? slots.file.CloseHandle : &::CloseHandle;
  static std::vector<uint8_t> buffer;
  buffer.resize(chunk);
  const double start = Now();
  HANDLE file = create(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  uint64_t total = 0;
  bool same = true;
  for (;;) {
    DWORD got = 0;
    if (!read(file, buffer.data(), chunk, &got, nullptr) || got == 0) break;
    if (check != nullptr && (total + got > check->size() ||
                             std::memcmp(buffer.data(), check->data() + total, got) != 0)) {
      same = false;
    }
    total += got;
  }
  close(file);
  const double seconds = Now() - start;
  return total == expected && same ? seconds : -1;
}

// An entry's segments as packed bytes in memory, for the decoding limit.
struct PackedSegment {
  bool compressed;
  uint64_t unpacked_size;
  std::vector<uint8_t> bytes;
};

bool LoadSegments(const std::string& archive_path, std::vector<PackedSegment>* out) {
  Xp3Archive archive(archive_path, false);
  if (!archive.ParseIndex() || archive.entries().size() != 1) return false;
  FILE* file = _wfopen(bench::Wide(archive_path).c_str(), L"rb");
  if (file == nullptr) return false;
  bool ok = true;
  for (const Xp3Segment& segment : archive.entries()[0].segments) {
    PackedSegment packed{segment.IsCompressed(), segment.unpacked_size,
                         std::vector<uint8_t>(segment.packed_size)};
    ok = ok && _fseeki64(file, static_cast<int64_t>(segment.offset), SEEK_SET) == 0 &&
         std::fread(packed.bytes.data(), 1, packed.bytes.size(), file) == packed.bytes.size();
    out->push_back(std::move(packed));
  }
  std::fclose(file);
  return ok;
}

// Decodes every segment from memory into one segment-sized buffer with a
// reused context: no reader of these bytes can deliver them faster.
double TimeDecodeFromMemory(const std::vector<PackedSegment>& segments, uint64_t expected) {
  static std::vector<uint8_t> out;
  static z_stream* zlib = nullptr;
  static ZSTD_DCtx* zstd = nullptr;
  if (zlib == nullptr) {
    zlib = new z_stream{};
    inflateInit(zlib);
    zstd = ZSTD_createDCtx();
  }
  const double start = Now();
  uint64_t total = 0;
  for (const PackedSegment& segment : segments) {
    if (out.size() < segment.unpacked_size) out.resize(segment.unpacked_size);
    if (!segment.compressed) {
      std::memcpy(out.data(), segment.bytes.data(), segment.bytes.size());
      total += segment.bytes.size();
    } else if (segment.bytes.size() >= 4 && segment.bytes[0] == 0x28 && segment.bytes[1] == 0xB5 &&
               segment.bytes[2] == 0x2F && segment.bytes[3] == 0xFD) {
      const size_t n = ZSTD_decompressDCtx(zstd, out.data(), out.size(), segment.bytes.data(),
                                           segment.bytes.size());
      if (ZSTD_isError(n)) return -1;
      total += n;
    } else {
      inflateReset(zlib);
      zlib->next_in = const_cast<Bytef*>(segment.bytes.data());
      zlib->avail_in = static_cast<uInt>(segment.bytes.size());
      zlib->next_out = out.data();
      zlib->avail_out = static_cast<uInt>(out.size());
      if (inflate(zlib, Z_FINISH) != Z_STREAM_END) return -1;
      total += zlib->total_out;
    }
  }
  const double seconds = Now() - start;
  return total == expected ? seconds : -1;
}

int Sequential(size_t mib, int rounds, uint64_t segment_size) {
  const size_t size = mib << 20;
  Note("== Sequential reads: %zu MiB entry, %llu KiB segments%s, %d rounds\n", mib,
       static_cast<unsigned long long>(segment_size >> 10),
       segment_size == kDefaultSegmentSize ? " (the packer's default)" : "", rounds);
  const std::vector<uint8_t> data = bench::TextLikeData(size, 1);
  const std::string directory = DataDirectory();
  CreateDirectoryW(bench::Wide(directory).c_str(), nullptr);

  std::wstring entry_paths[3];
  std::vector<PackedSegment> segments[3];
  for (int m = 0; m < 3; ++m) {
    Xp3WriterOptions options;
    options.compression = kMethods[m].compression;
    options.segment_size = segment_size;
    const std::string archive = directory + "\\seq-" + kMethods[m].name + ".xp3";
    const std::string entry = std::string("bench-data/seq/") + kMethods[m].name + ".bin";
    const double start = Now();
    const uint64_t archive_size = bench::PackArchive(archive, {{entry, &data}}, options);
    if (archive_size == 0 || !TheOverlay().Mount(archive) || !LoadSegments(archive, &segments[m])) {
      Note("cannot prepare %s\n", archive.c_str());
      return 1;
    }
    Note("  %-6s archive %.1f MiB (%.1f%% of the data), %zu segments, packed in %.1f s\n",
         kMethods[m].name, archive_size / 1048576.0, 100.0 * archive_size / size,
         segments[m].size(), Now() - start);
    entry_paths[m] = bench::Wide(TheOverlay().BaseDirectory() + "\\" + entry);
  }
  const std::string plain = directory + "\\seq-plain.bin";
  if (!bench::WriteWholeFile(plain, data.data(), data.size())) return 1;
  const std::wstring plain_path = bench::Wide(plain);

  if (!bench::AttachFileHooks()) return 1;
  for (int m = 0; m < 3; ++m) {
    if (TimeSequentialRead(entry_paths[m], 65536, false, size, &data) < 0) {
      Note("reading the %s entry through the hooks gave wrong bytes\n", kMethods[m].name);
      return 1;
    }
  }

  const DWORD chunks[] = {65536, 4096};
  for (DWORD chunk : chunks) {
    // [method][0] = through the hooks, [method][1] = the limit.
    std::vector<double> times[3][2];
    for (int round = 0; round < rounds; ++round) {
      for (int m = 0; m < 3; ++m) {
        const bool limit_first = round % 2 == 1;
        for (int side = 0; side < 2; ++side) {
          const bool limit = (side == 0) == limit_first;
          double seconds;
          if (!limit) {
            seconds = TimeSequentialRead(entry_paths[m], chunk, false, size, nullptr);
          } else if (m == 0) {
            seconds = TimeSequentialRead(plain_path, chunk, true, size, nullptr);
          } else {
            seconds = TimeDecodeFromMemory(segments[m], size);
          }
          if (seconds < 0) {
            Note("a timed read failed\n");
            return 1;
          }
          times[m][limit ? 1 : 0].push_back(seconds);
        }
      }
    }
    for (int m = 0; m < 3; ++m) {
      const double hooked = Median(times[m][0]);
      const double limit = Median(times[m][1]);
      const double mib_per_s = size / 1048576.0;
      const char* against = m == 0 ? "real ReadFile" : "decoding from memory";
      Note("  %-6s %2u KiB: hooked %.1f MiB/s, %s %.1f MiB/s\n", kMethods[m].name,
           static_cast<unsigned>(chunk >> 10), mib_per_s / hooked, against, mib_per_s / limit);
      const std::string measure = Format(
          "%s, %u KiB reads, %u KiB segments, throughput vs %s (hooked %.0f MiB/s, limit %.0f "
          "MiB/s)",
          kMethods[m].name, static_cast<unsigned>(chunk >> 10),
          static_cast<unsigned>(segment_size >> 10), against, mib_per_s / hooked,
          mib_per_s / limit);
      bench::RowAtLeast("1 sequential", measure, limit / hooked, chunk == 65536 ? 0.90 : 0.80);
    }
  }
  return bench::DetachFileHooks() ? 0 : 1;
}

int RandomReads(size_t mib, int reads) {
  const size_t size = mib << 20;
  Note("== Random 4 KiB reads: %zu MiB entry, %d reads per archive\n", mib, reads);
  const std::vector<uint8_t> data = bench::TextLikeData(size, 2);
  const std::string directory = DataDirectory();
  CreateDirectoryW(bench::Wide(directory).c_str(), nullptr);
  if (!bench::AttachFileHooks()) return 1;

  struct Config {
    int method;
    uint64_t segment_size;
  };
  std::vector<Config> configs = {{0, kDefaultSegmentSize}};
  for (int m = 1; m < 3; ++m) {
    for (uint64_t segment : {64u << 10, 256u << 10, 1u << 20, 4u << 20}) {
      configs.push_back({m, segment});
    }
  }
  for (const Config& config : configs) {
    const Method& method = kMethods[config.method];
    const std::string tag =
        Format("%s-%uk", method.name, static_cast<unsigned>(config.segment_size >> 10));
    const std::string archive = directory + "\\rand-" + tag + ".xp3";
    const std::string entry = "bench-data/rand/" + tag + ".bin";
    Xp3WriterOptions options;
    options.compression = method.compression;
    options.segment_size = config.segment_size;
    // The hooks stay attached while packing: the writer's own file calls
    // simply pass through them.
    const uint64_t archive_size = bench::PackArchive(archive, {{entry, &data}}, options);
    if (archive_size == 0 || !TheOverlay().Mount(archive)) return 1;

    HANDLE file = CreateFileW(bench::Wide(TheOverlay().BaseDirectory() + "\\" + entry).c_str(),
                              GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    bench::Random random(7);
    std::vector<double> times;
    uint8_t buffer[4096];
    for (int i = 0; i < reads; ++i) {
      const uint64_t offset = random.Below(size - sizeof buffer);
      LARGE_INTEGER to;
      to.QuadPart = static_cast<LONGLONG>(offset);
      DWORD got = 0;
      const double start = Now();
      const bool ok = SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
                      ReadFile(file, buffer, sizeof buffer, &got, nullptr);
      times.push_back(Now() - start);
      if (!ok || got != sizeof buffer || std::memcmp(buffer, data.data() + offset, got) != 0) {
        Note("random read at %llu of %s gave wrong bytes\n",
             static_cast<unsigned long long>(offset), tag.c_str());
        return 1;
      }
    }
    CloseHandle(file);
    const double median_us = Median(times) * 1e6;
    const double mean_us = bench::Mean(times) * 1e6;
    Note("  %-12s archive %6.2f MiB (%5.1f%%), per read: median %8.1f us, mean %8.1f us\n",
         tag.c_str(), archive_size / 1048576.0, 100.0 * archive_size / size, median_us, mean_us);
    bench::Row("2 random 4 KiB",
               Format("%s, %u KiB segments: archive size / data", method.name,
                      static_cast<unsigned>(config.segment_size >> 10)),
               Format("%.1f%%", 100.0 * archive_size / size));
    bench::Row("2 random 4 KiB",
               Format("%s, %u KiB segments: time per read (median / mean)", method.name,
                      static_cast<unsigned>(config.segment_size >> 10)),
               Format("%.0f / %.0f us", median_us, mean_us));
  }
  return bench::DetachFileHooks() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "seq") {
    return Sequential(
        argc > 2 ? std::atoi(argv[2]) : 32, argc > 3 ? std::atoi(argv[3]) : 5,
        argc > 4 ? static_cast<uint64_t>(std::atoi(argv[4])) << 10 : kDefaultSegmentSize);
  }
  if (command == "random") {
    return RandomReads(argc > 2 ? std::atoi(argv[2]) : 16, argc > 3 ? std::atoi(argv[3]) : 200);
  }
  std::fprintf(stderr,
               "usage: bench_read seq [MiB] [rounds] [segment KiB] | random [MiB] [reads]\n");
  return 2;
}
