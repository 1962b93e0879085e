// Writes the seed corpora of the archive fuzz targets:
//
//   fuzz_seeds DIR      (DIR is tests/fuzz; writes DIR/<target>/seed_*)
//
// Seeds are small sound archives and segments of every kind, plus a few
// damaged ones, each with a script that exercises every operation, so that
// fuzzing starts deep inside the formats. Deterministic: running it again
// gives the same files.
#define ZSTD_STATIC_LINKING_ONLY  // frames with a chosen window and a checksum
#include <zstd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "archive/test_archive_builder.h"

namespace {

// Every operation of the driver at least once: reads of small and large
// sizes, seeks from every origin, Close.
Bytes Script() {
  return {0, 0,  0, 0, 3, 0, 1, 200, 1, 2, 50, 0, 0, 8, 0, 3, 0xF6, 0xFF,
          1, 10, 0, 4, 5, 0, 0, 9,   0, 5, 0,  0, 2, 0, 0, 0, 6,    0};
}

// An archive followed by the script and the script's length.
Bytes WithScript(const Bytes& archive) {
  const Bytes script = Script();
  Bytes out = Concat({archive, script});
  out.push_back(static_cast<uint8_t>(script.size()));
  out.push_back(0);
  return out;
}

Bytes ZstdWithChecksum(const Bytes& data, int window_log) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  // Streamed without a size: the frame names its window and no content size.
  Bytes out(ZSTD_compressBound(data.size()) + 64);
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  ZSTD_compressStream2(c, &o, &in, ZSTD_e_continue);
  while (ZSTD_compressStream2(c, &o, &in, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(c);
  out.resize(o.pos);
  return out;
}

void Write(const std::string& dir, const std::string& name, const Bytes& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  std::printf("%s/%s: %zu bytes\n", dir.c_str(), name.c_str(), bytes.size());
}

void ArchiveSeeds(const std::string& dir) {
  using K = SegmentKind;
  {
    ArchiveBuilder b;
    b.AddEntry(u"stored.txt", PatternData(3000, 1), {{K::kStored, 1000}, {K::kStored, 2000}});
    b.AddEntry(u"dir/\u56FE.bin", PatternData(10, 2), {{K::kStored, 10}});
    b.AddEntry(u"empty", {}, {});
    Write(dir, "seed_stored", WithScript(b.Build()));
  }
  {
    ArchiveBuilder b;
    b.AddEntry(u"zlib", PatternData(5000, 3), {{K::kZlib, 5000}});
    b.AddEntry(u"zstd", PatternData(5000, 4), {{K::kZstd, 5000}});
    b.AddEntry(u"mixed", PatternData(6000, 5),
               {{K::kStored, 1000}, {K::kZlib, 2000}, {K::kZstd, 3000}});
    Write(dir, "seed_compressed_zlib_index",
          WithScript(b.Build(ArchiveBuilder::IndexCoding::kZlib)));
    Write(dir, "seed_compressed_zstd_index",
          WithScript(b.Build(ArchiveBuilder::IndexCoding::kZstd)));
  }
  {
    ArchiveBuilder::Header h;
    h.extended = true;
    h.skip = 4;
    ArchiveBuilder b(h);
    b.AddIndexChunk(Chunk("Junk", Bytes(10, 7)));
    b.AddEntry(u"after", PatternData(100, 6), {{K::kZlib, 100}});
    b.AddIndexChunk(
        Chunk("File", Concat({Chunk("info", InfoBody(0, 0, 0, u"bare")), Chunk("adlr", AdlrBody(1)),
                              Chunk("time", Bytes(8, 0))})));
    Write(dir, "seed_extended_header", WithScript(b.Build()));
  }
  {
    // Damaged layouts: sizes that do not add up, stored bytes running into
    // the next entry, a huge declared size, a compressed segment whose
    // packed size reaches far beyond the file.
    ArchiveBuilder b;
    const Bytes content = PatternData(200, 7);
    const uint64_t at = b.AddData(content);
    const Bytes packed = ZstdWithChecksum(PatternData(400, 8), 20);
    const uint64_t z = b.AddData(packed);
    auto entry = [&](const std::u16string& name, uint64_t size, std::vector<Xp3Segment> segs) {
      b.AddIndexChunk(Chunk("File", Concat({Chunk("info", InfoBody(0, size, 0, name)),
                                            Chunk("segm", SegmBody(segs))})));
    };
    entry(u"short", 300, {{0, at, 100, 100}, {0, at + 100, 100, 100}});
    entry(u"overrun", 100, {{0, at, 100, 150}});
    entry(u"huge", 1ull << 63, {{0, at, 1ull << 63, 1ull << 63}});
    entry(u"far", 400, {{1, z, 400, 1ull << 40}});
    entry(u"longer", 300, {{1, z, 300, packed.size()}});
    Write(dir, "seed_damaged", WithScript(b.Build()));
  }
}

// flags, declared size, script length, script, segment bytes
Bytes SegmentSeed(bool compressed, uint32_t declared, const Bytes& segment) {
  const Bytes script = Script();
  ByteWriter w;
  w.U8(compressed ? 1 : 0).U32(declared).U8(static_cast<uint8_t>(script.size()));
  w.Raw(script).Raw(segment);
  return w.bytes();
}

void SegmentSeeds(const std::string& dir) {
  const Bytes data = PatternData(20000, 9);
  Write(dir, "seed_stored", SegmentSeed(false, 3000, PatternData(3000, 10)));
  Write(dir, "seed_zlib", SegmentSeed(true, 20000, ZlibCompress(data)));
  Write(dir, "seed_zstd", SegmentSeed(true, 20000, ZstdCompress(data)));
  Write(dir, "seed_zstd_checksum_window", SegmentSeed(true, 20000, ZstdWithChecksum(data, 24)));
  Write(dir, "seed_zlib_corrupt", SegmentSeed(true, 20000, CorruptZlib(ZlibCompress(data))));
  Write(dir, "seed_zstd_longer", SegmentSeed(true, 15000, ZstdCompress(data)));
  Write(dir, "seed_zstd_declared_huge", SegmentSeed(true, 0xF0000000u, ZstdWithChecksum(data, 28)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR (the tests/fuzz directory)\n");
    return 2;
  }
  const std::string root = argv[1];
  ArchiveSeeds(root + "/xp3_archive_fuzzer");
  SegmentSeeds(root + "/segment_fuzzer");
  return 0;
}
