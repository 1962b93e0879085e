// The stream layer on its own, natively, for instruction counts under
// callgrind: figures that do not depend on the machine's load, so that later
// changes to the archive code can be compared against them.
//
//   stream_bench pack <dir> [MiB]     writes stored.xp3, zlib.xp3, zstd.xp3 (one
//                                     entry of generated text each) and
//                                     index.xp3 (10,000 small entries)
//   stream_bench read <archive> [chunk]   reads entry 0 in `chunk`-byte reads
//   stream_bench parse <archive>          opens the archive and parses its index
//   stream_bench limit <archive>          decodes entry 0's segments from memory
//                                         with one reused context per library
//
// The measured work sits in ReadEntryThroughStreams, ParseArchiveIndex and
// DecodeFromMemory, so
// that callgrind's --toggle-collect can count just them.
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/xp3_archive.h"
#include "bench/bench_common.h"
#include "tools/xp3/xp3_writer.h"

namespace {

bool Pack(const std::string& path, Xp3Compression compression,
          const std::vector<std::pair<std::string, std::string>>& entries) {
  Xp3WriterOptions options;
  options.compression = compression;
  Xp3Writer writer(options);
  std::string error;
  bool ok = writer.Open(path, &error);
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    ok = writer.AddEntry(entries[i].first, entries[i].second.data(), entries[i].second.size(),
                         &error);
  }
  if (ok) ok = writer.Finish(&error);
  if (!ok) std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
  return ok;
}

__attribute__((noinline)) uint64_t ReadEntryThroughStreams(Xp3Archive* archive, uint32_t chunk,
                                                           uint32_t* sum) {
  ReadStream* stream = archive->OpenEntry(archive->entries()[0]);
  std::vector<uint8_t> buffer(chunk);
  uint64_t total = 0;
  uint32_t s = 0;
  for (;;) {
    const uint32_t n = stream->Read(buffer.data(), chunk);
    if (n == 0) break;
    total += n;
    s = s * 31 + buffer[0] + buffer[n - 1];
  }
  delete stream;
  *sum = s;
  return total;
}

__attribute__((noinline)) size_t ParseArchiveIndex(const std::string& path) {
  Xp3Archive archive(path, false);
  return archive.ParseIndex() ? archive.entries().size() : 0;
}

// The least work any reader of the entry must do: its segments' bytes
// already in memory, decoded in one call each into one segment-sized buffer.
__attribute__((noinline)) uint64_t DecodeFromMemory(
    const std::vector<Xp3Segment>& segments, const std::vector<std::vector<uint8_t>>& packed) {
  z_stream zlib{};
  inflateInit(&zlib);
  ZSTD_DCtx* zstd = ZSTD_createDCtx();
  std::vector<uint8_t> out;
  uint64_t total = 0;
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::vector<uint8_t>& in = packed[i];
    if (out.size() < segments[i].unpacked_size) out.resize(segments[i].unpacked_size);
    if (!segments[i].IsCompressed()) {
      std::memcpy(out.data(), in.data(), in.size());
      total += in.size();
    } else if (in.size() >= 4 && in[0] == 0x28 && in[1] == 0xB5 && in[2] == 0x2F && in[3] == 0xFD) {
      const size_t n = ZSTD_decompressDCtx(zstd, out.data(), out.size(), in.data(), in.size());
      if (!ZSTD_isError(n)) total += n;
    } else {
      inflateReset(&zlib);
      zlib.next_in = const_cast<Bytef*>(in.data());
      zlib.avail_in = static_cast<uInt>(in.size());
      zlib.next_out = out.data();
      zlib.avail_out = static_cast<uInt>(out.size());
      if (inflate(&zlib, Z_FINISH) == Z_STREAM_END) total += zlib.total_out;
    }
  }
  ZSTD_freeDCtx(zstd);
  inflateEnd(&zlib);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[1] : "";
  if (command == "pack") {
    const std::string dir = argv[2];
    const size_t size = static_cast<size_t>(argc > 3 ? std::atoi(argv[3]) : 8) << 20;
    const std::vector<uint8_t> data = bench::TextLikeData(size, 1);
    const std::vector<std::pair<std::string, std::string>> one = {
        {"data.bin", std::string(data.begin(), data.end())}};
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 10000; ++i) {
      many.push_back({bench::Format("dir%03d/entry%05d.txt", i / 100, i), "x"});
    }
    const bool ok = Pack(dir + "/stored.xp3", Xp3Compression::kNone, one) &&
                    Pack(dir + "/zlib.xp3", Xp3Compression::kZlib, one) &&
                    Pack(dir + "/zstd.xp3", Xp3Compression::kZstd, one) &&
                    Pack(dir + "/index.xp3", Xp3Compression::kNone, many);
    return ok ? 0 : 1;
  }
  if (command == "read") {
    Xp3Archive archive(argv[2], false);
    if (!archive.ParseIndex() || archive.entries().empty()) return 1;
    uint32_t sum = 0;
    const uint64_t total =
        ReadEntryThroughStreams(&archive, argc > 3 ? std::atoi(argv[3]) : 65536, &sum);
    std::printf("read %llu bytes (sum %08x)\n", static_cast<unsigned long long>(total), sum);
    return total == archive.entries()[0].unpacked_size ? 0 : 1;
  }
  if (command == "parse") {
    const size_t count = ParseArchiveIndex(argv[2]);
    std::printf("parsed %zu entries\n", count);
    return count != 0 ? 0 : 1;
  }
  if (command == "limit") {
    Xp3Archive archive(argv[2], false);
    if (!archive.ParseIndex() || archive.entries().empty()) return 1;
    const std::vector<Xp3Segment>& segments = archive.entries()[0].segments;
    std::vector<std::vector<uint8_t>> packed;
    std::FILE* file = std::fopen(argv[2], "rb");
    if (file == nullptr) return 1;
    for (const Xp3Segment& segment : segments) {
      packed.emplace_back(segment.packed_size);
      if (std::fseek(file, static_cast<long>(segment.offset), SEEK_SET) != 0 ||
          std::fread(packed.back().data(), 1, packed.back().size(), file) != packed.back().size()) {
        return 1;
      }
    }
    std::fclose(file);
    const uint64_t total = DecodeFromMemory(segments, packed);
    std::printf("decoded %llu bytes\n", static_cast<unsigned long long>(total));
    return total == archive.entries()[0].unpacked_size ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: stream_bench pack <dir> [MiB] | read <archive> [chunk] | parse <archive> | "
               "limit <archive>\n");
  return 2;
}
