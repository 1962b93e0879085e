// Loading a game's files the way a game does at a scene change.
//
//   bench_gameload [files] [rounds]
//
// A tree shaped like a visual novel's assets is generated from a fixed seed
// (default 2,000 files: scripts of 2-60 KiB of text, images of 30-600 KiB of
// which a third are noise, voice clips of 10-150 KiB of noise, four music
// files of 3-6 MiB of noise, and one 2 MiB table of text), packed with the
// project's packer three times (stored, zlib, zstd; noise segments end up
// stored in the compressed archives too) and written out as loose files.
//
// The workload opens, sizes, reads whole and closes every file in one
// shuffled order, and is measured three ways in the same run, in rotating
// order, medians over the rounds:
//   (a) through the hooked file functions, served by the overlay;
//   (b) the loose files through the system's own functions, no patch;
//   (c) the limit: the same segments read with positioned reads from one
//       open handle on the archive and decoded in this process, one context
//       per codec reused for every segment.
// Then: re-reads (the same 50 files read 20 times over) against (c); the
// segment cache's budget weighed on a scene of 300 files loaded three times; two
// threads loading disjoint halves of the tree against one thread (and the
// same for (c), which shows what the machine gives a second thread); random
// 4 KiB reads inside the segment that a handle last decoded, compressed
// against stored; and all files open at once (time and memory).
//
// The whole tree is several times the cache's budget and is read in one
// order, so the whole-tree figures are first reads: a segment comes round
// again only after far more than the cache's window of decoded bytes, so
// the cache neither finds nor keeps anything there (as its counters
// printed after them show), and each segment read whole is decoded
// straight into the game's buffer.
//
// Data lives below "bench-data" in the program's directory (the game
// directory of this process), which scripts/bench.sh removes afterwards.
#include <windows.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "archive/buffer_pool.h"
#include "archive/segment_cache.h"
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

constexpr int kMethodCount = 3;

enum class Kind { kText, kSmooth, kNoise };

struct TreeFile {
  std::string name;  // relative to the tree's root, with '/'
  Kind kind;
  size_t size;
  uint64_t seed;
  uint32_t adler;
};

// Image-like bytes: a random walk with small steps, which both compressors
// shrink to about a half, like a game's less compressed pictures.
std::vector<uint8_t> SmoothData(size_t size, uint64_t seed) {
  bench::Random random(seed);
  std::vector<uint8_t> out(size);
  uint8_t value = 128;
  for (size_t i = 0; i < size; i += 8) {
    uint64_t r = random.Next();
    for (size_t j = i; j < std::min(size, i + 8); ++j, r >>= 8) {
      value = static_cast<uint8_t>(value + static_cast<int>(r & 7) - 3);
      out[j] = value;
    }
  }
  return out;
}

std::vector<uint8_t> NoiseData(size_t size, uint64_t seed) {
  bench::Random random(seed);
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t r = random.Next();
    std::memcpy(out.data() + i, &r, std::min<size_t>(8, size - i));
  }
  return out;
}

std::vector<uint8_t> Generate(const TreeFile& file) {
  switch (file.kind) {
    case Kind::kText:
      return bench::TextLikeData(file.size, file.seed);
    case Kind::kSmooth:
      return SmoothData(file.size, file.seed);
    case Kind::kNoise:
      break;
  }
  return NoiseData(file.size, file.seed);
}

// The tree: half scripts, 28% images, the rest voice, four music files and
// one large table.
std::vector<TreeFile> MakeTree(size_t count) {
  bench::Random random(20261208);
  std::vector<TreeFile> tree;
  const size_t music = 4;
  const size_t scripts = count / 2;
  const size_t images = count * 28 / 100;
  const size_t voices =
      count > scripts + images + music + 1 ? count - scripts - images - music - 1 : 0;
  auto uniform = [&](size_t low_kib, size_t high_kib) {
    return static_cast<size_t>((low_kib << 10) + random.Below((high_kib - low_kib) << 10));
  };
  for (size_t i = 0; i < scripts; ++i) {
    tree.push_back(
        {Format("scenario/ch%02zu/s%04zu.ks", i / 100, i), Kind::kText, uniform(2, 60), i + 1, 0});
  }
  for (size_t i = 0; i < images; ++i) {
    // Log-uniform sizes: many small pictures, a few large ones.
    const double u = static_cast<double>(random.Below(1 << 20)) / (1 << 20);
    const auto size = static_cast<size_t>(30 * 1024 * std::pow(20.0, u));
    const Kind kind = i % 3 == 2 ? Kind::kNoise : Kind::kSmooth;
    tree.push_back({Format("image/bg%02zu/i%04zu.tlg", i / 100, i), kind, size, 100000 + i, 0});
  }
  for (size_t i = 0; i < voices; ++i) {
    tree.push_back({Format("voice/v%02zu/v%04zu.ogg", i / 100, i), Kind::kNoise, uniform(10, 150),
                    200000 + i, 0});
  }
  for (size_t i = 0; i < music; ++i) {
    tree.push_back(
        {Format("bgm/m%02zu.ogg", i), Kind::kNoise, uniform(3 << 10, 6 << 10), 300000 + i, 0});
  }
  tree.push_back({"data/table.tsv", Kind::kText, 2 << 20, 400000, 0});
  return tree;
}

std::string DataDirectory() { return TheOverlay().BaseDirectory() + "\\bench-data"; }

std::string Backslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void CreateDirectories(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryW(bench::Wide(path.substr(0, at)).c_str(), nullptr);
  }
}

// One tree as the game sees it: the wide paths of its files (overlaid or
// loose) and, for archives, each file's segments for the limit.
struct Segment {
  uint64_t offset;
  uint64_t packed_size;
  uint64_t unpacked_size;
  bool compressed;
};
struct Variant {
  std::string archive;
  std::vector<std::wstring> paths;
  std::vector<std::vector<Segment>> segments;
};

size_t g_largest = 0;
std::vector<uint8_t> g_buffer;  // the game's buffer: one file at a time

// Opens, sizes, reads whole and closes one file with the functions given.
// Returns the bytes read, or 0 on any failure.
struct FileFunctions {
  decltype(&::CreateFileW) create;
  decltype(&::GetFileSize) size;
  decltype(&::ReadFile) read;
  decltype(&::CloseHandle) close;
};

FileFunctions Hooked() { return {&::CreateFileW, &::GetFileSize, &::ReadFile, &::CloseHandle}; }
FileFunctions Real() {
  const HookTable& slots = TheHookTable();
  return {slots.file.CreateFileW, slots.file.GetFileSize, slots.file.ReadFile,
          slots.file.CloseHandle};
}

uint64_t LoadFile(const FileFunctions& f, const std::wstring& path, uint8_t* buffer) {
  HANDLE file = f.create(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  const DWORD size = f.size(file, nullptr);
  DWORD got = 0;
  const bool ok = size != INVALID_FILE_SIZE &&
                  (size == 0 || (f.read(file, buffer, size, &got, nullptr) && got == size));
  f.close(file);
  return ok ? size : 0;
}

// Loads the files `order[first..]` with step `step`; the seconds taken, -1
// when a file did not load.
double TimeLoads(const FileFunctions& f, const std::vector<std::wstring>& paths,
                 const std::vector<size_t>& order, size_t first, size_t step, uint8_t* buffer) {
  const double start = Now();
  for (size_t i = first; i < order.size(); i += step) {
    if (LoadFile(f, paths[order[i]], buffer) == 0) return -1;
  }
  return Now() - start;
}

// The limit: one open archive handle, positioned reads, one reused context
// per codec.
class Limit {
 public:
  explicit Limit(const std::string& archive) {
    file_ = Real().create(bench::Wide(archive).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    inflateInit(&zlib_);
    zstd_ = ZSTD_createDCtx();
  }
  ~Limit() {
    Real().close(file_);
    inflateEnd(&zlib_);
    ZSTD_freeDCtx(zstd_);
  }

  bool Load(const std::vector<Segment>& segments, uint8_t* out) {
    for (const Segment& segment : segments) {
      uint8_t* target = out;
      out += segment.unpacked_size;
      if (!segment.compressed) {
        if (!ReadAt(target, segment.packed_size, segment.offset)) return false;
        continue;
      }
      if (packed_.size() < segment.packed_size) packed_.resize(segment.packed_size);
      if (!ReadAt(packed_.data(), segment.packed_size, segment.offset)) return false;
      if (segment.packed_size >= 4 && packed_[0] == 0x28 && packed_[1] == 0xB5 &&
          packed_[2] == 0x2F && packed_[3] == 0xFD) {
        const size_t n = ZSTD_decompressDCtx(zstd_, target, segment.unpacked_size, packed_.data(),
                                             segment.packed_size);
        if (n != segment.unpacked_size) return false;
      } else {
        inflateReset(&zlib_);
        zlib_.next_in = packed_.data();
        zlib_.avail_in = static_cast<uInt>(segment.packed_size);
        zlib_.next_out = target;
        zlib_.avail_out = static_cast<uInt>(segment.unpacked_size);
        if (inflate(&zlib_, Z_FINISH) != Z_STREAM_END) return false;
      }
    }
    return true;
  }

  double Time(const Variant& variant, const std::vector<size_t>& order, uint8_t* buffer) {
    const double start = Now();
    for (size_t index : order) {
      if (!Load(variant.segments[index], buffer)) return -1;
    }
    return Now() - start;
  }

 private:
  // The fastest positioned read there is: the system read under ReadFile,
  // with no event and no completion context (ReadFile with an OVERLAPPED
  // offset costs a round trip to the server under Wine).
  struct IoStatusBlock {
    union {
      LONG status;
      void* pointer;
    };
    ULONG_PTR information;
  };
  using NtReadFileFunction = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, void*,
                                          ULONG, LARGE_INTEGER*, ULONG*);

  bool ReadAt(void* buffer, uint64_t size, uint64_t offset) {
    static const auto read = reinterpret_cast<NtReadFileFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtReadFile")));
    IoStatusBlock io = {};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return read(file_, nullptr, nullptr, nullptr, &io, buffer, static_cast<ULONG>(size), &at,
                nullptr) == 0 &&
           io.information == size;
  }

  HANDLE file_;
  z_stream zlib_{};
  ZSTD_DCtx* zstd_;
  std::vector<uint8_t> packed_;
};

bool Prepare(std::vector<TreeFile>& tree, Variant (&variants)[kMethodCount], Variant* loose) {
  const std::string directory = DataDirectory();
  CreateDirectoryW(bench::Wide(directory).c_str(), nullptr);
  const std::string base = TheOverlay().BaseDirectory();
  Xp3Writer* writers[kMethodCount];
  std::string error;
  for (int m = 0; m < kMethodCount; ++m) {
    Xp3WriterOptions options;
    options.compression = kMethods[m].compression;
    writers[m] = new Xp3Writer(options);
    variants[m].archive = directory + "\\gameload-" + kMethods[m].name + ".xp3";
    if (!writers[m]->Open(variants[m].archive, &error)) {
      Note("cannot create %s: %s\n", variants[m].archive.c_str(), error.c_str());
      return false;
    }
  }
  const double start = Now();
  for (TreeFile& file : tree) {
    const std::vector<uint8_t> data = Generate(file);
    file.adler = Adler32(data.data(), data.size());
    g_largest = std::max(g_largest, data.size());
    for (int m = 0; m < kMethodCount; ++m) {
      const std::string entry = std::string("bench-data/gl-") + kMethods[m].name + "/" + file.name;
      if (!writers[m]->AddEntry(entry, data.data(), data.size(), &error)) {
        Note("packing failed: %s\n", error.c_str());
        return false;
      }
      variants[m].paths.push_back(bench::Wide(base + "\\" + Backslashes(entry)));
    }
    const std::string path = directory + "\\gl-loose\\" + Backslashes(file.name);
    CreateDirectories(path);
    if (!bench::WriteWholeFile(path, data.data(), data.size())) return false;
    loose->paths.push_back(bench::Wide(path));
  }
  uint64_t total = 0;
  for (const TreeFile& file : tree) total += file.size;
  for (int m = 0; m < kMethodCount; ++m) {
    const bool finished = writers[m]->Finish(&error);
    delete writers[m];
    if (!finished || !TheOverlay().Mount(variants[m].archive)) {
      Note("cannot finish or mount %s: %s\n", variants[m].archive.c_str(), error.c_str());
      return false;
    }
    Xp3Archive archive(variants[m].archive, false);
    if (!archive.ParseIndex() || archive.entries().size() != tree.size()) return false;
    size_t compressed = 0;
    size_t segments = 0;
    for (const Xp3Entry& entry : archive.entries()) {
      std::vector<Segment> list;
      for (const Xp3Segment& s : entry.segments) {
        list.push_back({s.offset, s.packed_size, s.unpacked_size, s.IsCompressed()});
        compressed += s.IsCompressed();
      }
      segments += list.size();
      variants[m].segments.push_back(std::move(list));
    }
    const uint64_t archive_size = bench::FileSizeOf(variants[m].archive);
    Note("  %-6s archive %.1f MiB (%.1f%% of the data), %zu segments, %zu compressed\n",
         kMethods[m].name, archive_size / 1048576.0, 100.0 * archive_size / total, segments,
         compressed);
  }
  Note("  tree: %zu files, %.1f MiB, largest %.1f MiB; generated and packed in %.1f s\n",
       tree.size(), total / 1048576.0, g_largest / 1048576.0, Now() - start);
  return true;
}

// Every file through the hooks, checked against its sum.
bool Verify(const std::vector<TreeFile>& tree, const Variant& variant, uint8_t* buffer) {
  for (size_t i = 0; i < tree.size(); ++i) {
    const uint64_t got = LoadFile(Hooked(), variant.paths[i], buffer);
    if (got != tree[i].size || Adler32(buffer, got) != tree[i].adler) {
      Note("%s read through the hooks gave wrong bytes\n", tree[i].name.c_str());
      return false;
    }
  }
  return true;
}

double Ratio(const std::vector<double>& a, const std::vector<double>& b) {
  return Median(b) / Median(a);
}

void PrintCache() {
  const SegmentCache::Stats stats = SegmentCache::Shared().GetStats();
  Note(
      "  segment cache: budget %.1f MiB, holding %.1f MiB in %zu segments; %llu hits, %llu "
      "misses, of which %llu kept (read again)\n",
      stats.budget / 1048576.0, stats.bytes / 1048576.0, stats.segments,
      static_cast<unsigned long long>(stats.hits), static_cast<unsigned long long>(stats.misses),
      static_cast<unsigned long long>(stats.admissions));
  const BufferPool& pool = BufferPool::Shared();
  Note("  buffer pool: %llu buffers taken, %llu allocated\n",
       static_cast<unsigned long long>(pool.taken()),
       static_cast<unsigned long long>(pool.allocated()));
}

int Run(size_t count, int rounds) {
  Note("== Game load: %zu files, %d rounds\n", count, rounds);
  std::vector<TreeFile> tree = MakeTree(count);
  Variant variants[kMethodCount];
  Variant loose;
  if (!Prepare(tree, variants, &loose)) return 1;
  g_buffer.resize(g_largest);
  uint8_t* buffer = g_buffer.data();
  const uint64_t total = [&] {
    uint64_t sum = 0;
    for (const TreeFile& file : tree) sum += file.size;
    return sum;
  }();
  const double mib = total / 1048576.0;

  std::vector<size_t> order(tree.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  bench::Random shuffle(99);
  for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[shuffle.Below(i)]);

  if (!bench::AttachFileHooks()) return 1;
  for (int m = 0; m < kMethodCount; ++m) {
    if (!Verify(tree, variants[m], buffer)) return 1;
  }
  // Warm the page cache for every side.
  for (int m = 0; m < kMethodCount; ++m) {
    Limit limit(variants[m].archive);
    if (limit.Time(variants[m], order, buffer) < 0) return 1;
  }
  if (TimeLoads(Real(), loose.paths, order, 0, 1, buffer) < 0) return 1;

  // Whole tree: (a) overlay, (b) loose, (c) limit. The machine may be
  // shared, so the sides take turns file by file (in rotating order) rather
  // than pass by pass: a burst of load then falls on all three alike.
  std::vector<double> times[kMethodCount][3];
  for (int round = 0; round < rounds; ++round) {
    for (int m = 0; m < kMethodCount; ++m) {
      Limit limit(variants[m].archive);
      double total[3] = {};
      for (size_t i = 0; i < order.size(); ++i) {
        const size_t index = order[i];
        for (int k = 0; k < 3; ++k) {
          const int side = static_cast<int>((k + i + static_cast<size_t>(round)) % 3);
          const double start = Now();
          bool ok;
          if (side == 0) {
            ok = LoadFile(Hooked(), variants[m].paths[index], buffer) == tree[index].size;
          } else if (side == 1) {
            ok = LoadFile(Real(), loose.paths[index], buffer) == tree[index].size;
          } else {
            ok = limit.Load(variants[m].segments[index], buffer);
          }
          total[side] += Now() - start;
          if (!ok) {
            Note("a timed load failed\n");
            return 1;
          }
        }
      }
      for (int side = 0; side < 3; ++side) times[m][side].push_back(total[side]);
    }
  }
  for (int m = 0; m < kMethodCount; ++m) {
    const double a = Median(times[m][0]);
    const double b = Median(times[m][1]);
    const double c = Median(times[m][2]);
    Note("  %-6s whole tree: overlay %.0f MiB/s (%.1f ms), loose %.0f MiB/s, limit %.0f MiB/s\n",
         kMethods[m].name, mib / a, a * 1e3, mib / b, mib / c);
    const std::string values =
        Format("overlay %.0f, loose %.0f, limit %.0f MiB/s", mib / a, mib / b, mib / c);
    if (m == 0) {
      bench::RowAtLeast("7 game load",
                        Format("stored, whole files, overlay vs loose files (%s)", values.c_str()),
                        Ratio(times[m][0], times[m][1]), 1.0);
      bench::Row("7 game load", "stored, whole files, overlay vs limit",
                 Format("%.3f", Ratio(times[m][0], times[m][2])));
    } else {
      bench::RowAtLeast(
          "7 game load",
          Format("%s, whole files, overlay vs limit (%s)", kMethods[m].name, values.c_str()),
          Ratio(times[m][0], times[m][2]), 0.95);
      bench::Row("7 game load", Format("%s, whole files, overlay vs loose files", kMethods[m].name),
                 Format("%.3f", Ratio(times[m][0], times[m][1])));
    }
  }
  PrintCache();

  // Re-reads: 50 files (those first in the shuffled order), 20 times over.
  std::vector<size_t> again;
  for (int pass = 0; pass < 20; ++pass) {
    again.insert(again.end(), order.begin(), order.begin() + std::min<size_t>(50, order.size()));
  }
  uint64_t again_bytes = 0;
  for (size_t index : again) again_bytes += tree[index].size;
  for (int m = 0; m < kMethodCount; ++m) {
    std::vector<double> overlay;
    std::vector<double> limit_times;
    Limit limit(variants[m].archive);
    for (int round = 0; round < rounds; ++round) {
      double total[2] = {};
      for (size_t i = 0; i < again.size(); ++i) {
        const size_t index = again[i];
        for (int k = 0; k < 2; ++k) {
          const int side = static_cast<int>((k + i + static_cast<size_t>(round)) % 2);
          const double start = Now();
          const bool ok =
              side == 0 ? LoadFile(Hooked(), variants[m].paths[index], buffer) == tree[index].size
                        : limit.Load(variants[m].segments[index], buffer);
          total[side] += Now() - start;
          if (!ok) return 1;
        }
      }
      overlay.push_back(total[0]);
      limit_times.push_back(total[1]);
    }
    const double ratio = Ratio(overlay, limit_times);
    const std::string measure = Format(
        "%s, 50 files read 20 times, overlay vs limit (%.0f vs %.0f MiB/s)", kMethods[m].name,
        again_bytes / 1048576.0 / Median(overlay), again_bytes / 1048576.0 / Median(limit_times));
    if (m == 0) {
      bench::Row("7 game load", measure, Format("%.3f", ratio));
    } else {
      bench::RowAtLeast("7 game load", measure, ratio, 5.0);
    }
  }
  PrintCache();

  // The cache's budget: a scene's files (the first 300 of the order) loaded
  // three times over, at several budgets, from the zstd archive. The first
  // load keeps nothing (each segment is read once so far), the second keeps
  // what fits, the third finds it. Each round starts with the rest of the
  // tree decoded while the cache keeps nothing, so that the scene's
  // segments are no longer recent (the window of the cache is its budget's
  // worth of decoded bytes).
  {
    SegmentCache& cache = SegmentCache::Shared();
    const size_t scene_files = std::min<size_t>(300, order.size());
    const std::vector<size_t> scene(order.begin(), order.begin() + scene_files);
    const std::vector<size_t> rest(order.begin() + scene_files, order.end());
    uint64_t scene_bytes = 0;
    uint64_t scene_decoded = 0;
    for (size_t index : scene) {
      scene_bytes += tree[index].size;
      for (const Segment& segment : variants[2].segments[index]) {
        if (segment.compressed) scene_decoded += segment.unpacked_size;
      }
    }
    Note("  scene: %zu files, %.1f MiB, of which %.1f MiB in compressed segments\n", scene_files,
         scene_bytes / 1048576.0, scene_decoded / 1048576.0);
    for (size_t budget_mib : {0, 8, 16, 32, 64}) {
      std::vector<double> loads[3];
      double hit_share[3] = {};
      for (int round = 0; round < rounds; ++round) {
        cache.SetBudget(0);
        if (TimeLoads(Hooked(), variants[2].paths, rest, 0, 1, buffer) < 0) return 1;
        cache.SetBudget(budget_mib << 20);
        for (int load = 0; load < 3; ++load) {
          const SegmentCache::Stats before = cache.GetStats();
          loads[load].push_back(TimeLoads(Hooked(), variants[2].paths, scene, 0, 1, buffer));
          const SegmentCache::Stats after = cache.GetStats();
          const uint64_t lookups = after.hits + after.misses - before.hits - before.misses;
          hit_share[load] =
              lookups == 0 ? 0 : static_cast<double>(after.hits - before.hits) / lookups;
        }
      }
      bench::Row(
          "7 game load",
          Format("zstd, cache budget %zu MiB: a scene loaded a second and a third time, "
                 "time vs its first load (segments found in the cache)",
                 budget_mib),
          Format("%.3f (%.0f%%) / %.3f (%.0f%%)", Median(loads[1]) / Median(loads[0]),
                 hit_share[1] * 100, Median(loads[2]) / Median(loads[0]), hit_share[2] * 100));
    }
    cache.SetBudget(SegmentCache::kDefaultBudget);
  }

  // Two threads on disjoint halves against one thread on the whole tree,
  // through the overlay and, for what the machine itself gives two threads
  // (other work on a shared machine takes its share), the limit: decoding
  // alone, one context per codec and thread.
  std::vector<uint8_t> second_buffer(g_largest);
  for (int m = 0; m < kMethodCount; ++m) {
    // [0] overlay, [1] limit; each one thread, then two.
    std::vector<double> one[2];
    std::vector<double> two[2];
    const int thread_rounds = std::max(rounds, 5);
    for (int round = 0; round < thread_rounds; ++round) {
      for (int k = 0; k < 4; ++k) {
        const int which = (k + round) % 4;
        const bool limit_side = which >= 2;
        const bool pair = which % 2 == 1;
        auto load = [&](size_t first, size_t step, uint8_t* into) {
          if (!limit_side) return TimeLoads(Hooked(), variants[m].paths, order, first, step, into);
          Limit limit(variants[m].archive);
          const double start = Now();
          for (size_t i = first; i < order.size(); i += step) {
            if (!limit.Load(variants[m].segments[order[i]], into)) return -1.0;
          }
          return Now() - start;
        };
        if (!pair) {
          const double seconds = load(0, 1, buffer);
          if (seconds < 0) return 1;
          one[limit_side].push_back(seconds);
          continue;
        }
        double other = 0;
        const double start = Now();
        std::thread helper([&] { other = load(1, 2, second_buffer.data()); });
        const double mine = load(0, 2, buffer);
        helper.join();
        if (mine < 0 || other < 0) return 1;
        two[limit_side].push_back(Now() - start);
      }
    }
    const double ratio = Ratio(two[0], one[0]);
    const double machine = Ratio(two[1], one[1]);
    const std::string measure = Format(
        "%s, two threads on halves vs one thread, throughput (%.0f vs %.0f MiB/s; the limit "
        "gains %.2fx)",
        kMethods[m].name, mib / Median(two[0]), mib / Median(one[0]), machine);
    if (m == 0) {
      bench::Row("7 game load", measure, Format("%.3f", ratio));
    } else {
      bench::RowAtLeast("7 game load", measure, ratio, 1.6);
    }
  }

  // Random 4 KiB reads inside the segment the handle last decoded: the
  // table's first segment, entered at its start.
  const size_t table = tree.size() - 1;
  const uint64_t window = variants[2].segments[table][0].unpacked_size;
  double per_read[kMethodCount] = {};
  for (int m = 0; m < kMethodCount; ++m) {
    HANDLE file = CreateFileW(variants[m].paths[table].c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::vector<uint8_t> expected = Generate(tree[table]);
    uint8_t block[4096];
    DWORD got = 0;
    if (!ReadFile(file, block, sizeof block, &got, nullptr)) return 1;
    bench::Random random(5);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
      const int reads = 2000;
      const double start = Now();
      for (int i = 0; i < reads; ++i) {
        const uint64_t offset = random.Below(window - sizeof block);
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN) ||
            !ReadFile(file, block, sizeof block, &got, nullptr) || got != sizeof block ||
            (i % 64 == 0 && std::memcmp(block, expected.data() + offset, got) != 0)) {
          Note("random read in %s gave wrong bytes\n", kMethods[m].name);
          return 1;
        }
      }
      times.push_back((Now() - start) / reads);
    }
    CloseHandle(file);
    per_read[m] = Median(times);
  }
  for (int m = 1; m < kMethodCount; ++m) {
    bench::RowAtMost("7 game load",
                     Format("%s, random 4 KiB reads in the current segment vs stored (%.2f vs "
                            "%.2f us)",
                            kMethods[m].name, per_read[m] * 1e6, per_read[0] * 1e6),
                     per_read[m] / per_read[0], 2.0);
  }

  // All files open at once: opening time against loose files, and memory
  // per handle, opened and after a first 4 KiB read.
  {
    std::vector<HANDLE> handles(tree.size());
    const double start_loose = Now();
    for (size_t i = 0; i < tree.size(); ++i) {
      handles[i] = Real().create(loose.paths[i].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    }
    const double loose_open = Now() - start_loose;
    for (HANDLE h : handles) Real().close(h);
    for (int m = 0; m < kMethodCount; ++m) {
      const uint64_t before = bench::PrivateBytes();
      const double start = Now();
      for (size_t i = 0; i < tree.size(); ++i) {
        handles[i] = CreateFileW(variants[m].paths[i].c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (handles[i] == INVALID_HANDLE_VALUE) return 1;
      }
      const double open = Now() - start;
      const uint64_t opened = bench::PrivateBytes();
      uint8_t block[4096];
      for (HANDLE h : handles) {
        DWORD got = 0;
        if (!ReadFile(h, block, sizeof block, &got, nullptr)) return 1;
      }
      const uint64_t read = bench::PrivateBytes();
      const double start_close = Now();
      for (HANDLE h : handles) CloseHandle(h);
      const double close = Now() - start_close;
      const double n = static_cast<double>(tree.size());
      bench::Row("7 game load",
                 Format("%s, %zu files open at once: open / close time per file (loose files: "
                        "open %.1f us)",
                        kMethods[m].name, tree.size(), loose_open / n * 1e6),
                 Format("%.1f / %.1f us", open / n * 1e6, close / n * 1e6));
      bench::Row("7 game load",
                 Format("%s, %zu files open at once: private bytes per handle, opened / after a "
                        "4 KiB read",
                        kMethods[m].name, tree.size()),
                 Format("%.0f / %.0f B", (static_cast<double>(opened) - before) / n,
                        (static_cast<double>(read) - before) / n));
    }
  }
  const SegmentCache::Stats stats = SegmentCache::Shared().GetStats();
  bench::Row("7 game load", "segment cache budget (bytes held now)",
             Format("%.1f MiB (%.1f MiB)", stats.budget / 1048576.0, stats.bytes / 1048576.0));
  return bench::DetachFileHooks() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (count < 60 || rounds < 1) {
    std::fprintf(stderr, "usage: bench_gameload [files >= 60] [rounds]\n");
    return 2;
  }
  return Run(count, rounds);
}
