#include "archive/xp3_archive.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <iterator>
#include <memory>

#include "archive/mem_read_stream.h"
#include "archive/read_stream_region.h"
#include "archive/test_archive_builder.h"
#include "platform/utf8_boundary_cases.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Parsed {
  bool ok;
  std::string output;  // what the parse printed
  std::vector<Xp3Entry> entries;
  uint32_t version;
};

Parsed Parse(const Bytes& file_bytes) {
  TempFile file(file_bytes);
  Xp3Archive archive(file.path(), true);
  CaptureStdout();
  const bool ok = archive.ParseIndex();
  std::string output = GetCapturedStdout();
  const Xp3Archive::EntryList& entries = archive.entries();
  return {ok, output, std::vector<Xp3Entry>(entries.begin(), entries.end()),
          archive.header_version()};
}

Bytes StoredIndexArchive(const Bytes& index, bool extended = false) {
  ArchiveBuilder b(ArchiveBuilder::Header{extended});
  b.AddIndexChunk(index);
  return b.Build();
}

Bytes FileChunkNamed(const std::u16string& name) {
  return Chunk("File", Chunk("info", InfoBody(0, 0, 0, name)));
}

TEST(Xp3Index, PlainHeaderWithStoredIndex) {
  ArchiveBuilder b;
  b.AddEntry(u"a.txt", PatternData(100, 1), {{SegmentKind::kStored, 100}});
  b.AddEntry(u"dir/\u56FE.png", PatternData(50, 2), {{SegmentKind::kZlib, 50}});
  const Parsed p = Parse(b.Build());
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.output, "");
  EXPECT_EQ(p.version, 0u);
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[0].key, "a.txt");
  EXPECT_EQ(p.entries[0].unpacked_size, 100u);
  EXPECT_EQ(p.entries[0].checksum, 0x12345678u);
  ASSERT_EQ(p.entries[0].segments.size(), 1u);
  EXPECT_FALSE(p.entries[0].segments[0].IsCompressed());
  EXPECT_EQ(p.entries[0].segments[0].offset, 19u);
  EXPECT_EQ(p.entries[1].key, "dir/\xE5\x9B\xBE.png");  // no case or separator changes
  EXPECT_TRUE(p.entries[1].segments[0].IsCompressed());
}

TEST(Xp3Index, ExtendedHeaderGivesVersionAndSkipsItsGap) {
  for (uint64_t skip : {0ull, 13ull}) {
    ArchiveBuilder::Header h;
    h.extended = true;
    h.version = 0x01020304;
    h.skip = skip;
    ArchiveBuilder b(h);
    b.AddEntry(u"x", PatternData(10, 3), {{SegmentKind::kStored, 10}});
    const Parsed p = Parse(b.Build());
    ASSERT_TRUE(p.ok) << "skip " << skip;
    EXPECT_EQ(p.version, 0x01020304u);
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.entries[0].segments[0].offset, 40u + skip);
  }
}

TEST(Xp3Index, ExtendedHeaderWithoutTheContinueFlagIsReported) {
  ArchiveBuilder::Header h;
  h.extended = true;
  h.continue_flag = 0x81;
  const Parsed p = Parse(ArchiveBuilder(h).Build());
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.output, "Unsupported XP3 index format: 129 is not continue flag.\n");
}

TEST(Xp3Index, UnknownEncodeMethodIsReported) {
  for (uint8_t method : {2, 0x80, 0x81}) {
    Bytes file = ArchiveBuilder().Build();
    file[19] = method;  // the index follows the plain header directly
    const Parsed p = Parse(file);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.output, "Unknown index encode method: " + std::to_string(method) + "\n");
  }
}

TEST(Xp3Index, UnknownChunksAreReportedAndSkipped) {
  ArchiveBuilder b;
  b.AddIndexChunk(Chunk("Junk", Bytes(10, 0xCC)));
  b.AddIndexChunk(FileChunkNamed(u"after"));
  b.AddIndexChunk(Chunk(std::string("ab\0d", 4), Bytes{}));
  b.AddIndexChunk(FileChunkNamed(u"last"));
  const Parsed p = Parse(b.Build());
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.output,
            "Unknown chunk type: Junk, chunk size: 10\n"
            "Unknown chunk type: ab, chunk size: 0\n");
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[0].key, "after");
  EXPECT_EQ(p.entries[1].key, "last");
}

TEST(Xp3Index, EmptyIndexParsesWithNoEntries) {
  for (bool extended : {false, true}) {
    const Parsed p = Parse(StoredIndexArchive(Bytes{}, extended));
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.entries.empty());
  }
}

TEST(Xp3Index, CompressedIndexIsDecodedWithEitherCodec) {
  for (auto coding : {ArchiveBuilder::IndexCoding::kZlib, ArchiveBuilder::IndexCoding::kZstd}) {
    ArchiveBuilder b;
    for (int i = 0; i < 200; ++i) {
      b.AddEntry(u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)),
                 PatternData(20, i), {{SegmentKind::kStored, 20}});
    }
    const Parsed p = Parse(b.Build(coding));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.entries.size(), 200u);
    EXPECT_EQ(p.entries[199].key, "fileR");

    // An index that decodes to less than announced, or one that claims an
    // absurd size, fails without a message (and without trying to allocate
    // the claimed size first).
    for (uint64_t claimed : {uint64_t{b.index_data().size() + 1}, uint64_t{0xFFFFFFF0},
                             uint64_t{b.index_data().size() - 1}}) {
      const Parsed bad = Parse(b.Build(coding, claimed));
      EXPECT_FALSE(bad.ok) << claimed;
      EXPECT_EQ(bad.output, "");
    }
    // An unpacked size of 0 takes whatever the data decodes to.
    EXPECT_TRUE(Parse(b.Build(coding, 0)).ok);
  }
}

TEST(Xp3Index, CorruptCompressedIndexFails) {
  ArchiveBuilder b;
  b.AddEntry(u"a", PatternData(20, 1), {{SegmentKind::kStored, 20}});
  Bytes file = b.Build(ArchiveBuilder::IndexCoding::kZlib);
  file.back() ^= 0x01;  // the Adler-32 trailer
  EXPECT_FALSE(Parse(file).ok);
}

TEST(Xp3Index, FileChunkContentsBuildOneEntry) {
  // Later "info" and "adlr" replace earlier ones, "segm" sub-chunks add up,
  // unknown sub-chunks are ignored quietly, bytes after the name too.
  std::vector<Xp3Segment> first = {{0, 100, 5, 5}};
  std::vector<Xp3Segment> second = {{1, 200, 6, 3}, {7, 300, 7, 7}};
  Bytes info_with_tail = Concat({InfoBody(9, 18, 15, u"new"), Bytes{1, 2, 3}});
  ArchiveBuilder b;
  b.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(1, 2, 3, u"a much longer old name")),
                            Chunk("segm", SegmBody(first)), Chunk("adlr", AdlrBody(1)),
                            Chunk("time", Bytes(8, 0)), Chunk("info", info_with_tail),
                            Chunk("segm", SegmBody(second)), Chunk("adlr", AdlrBody(2))})));
  b.AddIndexChunk(Chunk("File", Chunk("segm", SegmBody(first))));
  b.AddIndexChunk(Chunk("File", Concat({Chunk("segm", SegmBody(second)),
                                        Chunk("info", InfoBody(0, 4, 4, u"third"))})));
  const Parsed p = Parse(b.Build());
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.output, "");
  ASSERT_EQ(p.entries.size(), 3u);
  const Xp3Entry& e = p.entries[0];
  EXPECT_EQ(e.key, "new");
  EXPECT_EQ(e.flags, 9u);
  EXPECT_EQ(e.unpacked_size, 18u);
  EXPECT_EQ(e.packed_size, 15u);
  EXPECT_EQ(e.checksum, 2u);
  ASSERT_EQ(e.segments.size(), 3u);
  EXPECT_EQ(e.segments[1].offset, 200u);
  EXPECT_TRUE(e.segments[1].IsCompressed());
  EXPECT_FALSE(e.segments[2].IsCompressed());  // only exactly 1 means compressed
  EXPECT_EQ(e.segments[2].packed_size, 7u);
  EXPECT_EQ(p.entries[1].key, "");  // no "info": empty key
  EXPECT_EQ(p.entries[1].segments.size(), 1u);
  EXPECT_EQ(p.entries[1].segments[0].offset, 100u);
  EXPECT_EQ(p.entries[2].key, "third");
  ASSERT_EQ(p.entries[2].segments.size(), 2u);
  EXPECT_EQ(p.entries[2].segments[1].offset, 300u);
}

TEST(Xp3Index, NamesBecomeUtf8AndTheListReadsWithoutMakingEntries) {
  const std::u16string names[] = {u"plain/a.txt", u"caf\u00E9", u"\u56FE/\u7247.png",
                                  u"smile\U0001F600", std::u16string(1, u'\0') + u"x"};
  const std::string utf8[] = {"plain/a.txt", "caf\xC3\xA9", "\xE5\x9B\xBE/\xE7\x89\x87.png",
                              "smile\xF0\x9F\x98\x80", std::string(1, '\0') + "x"};
  ArchiveBuilder b;
  for (size_t i = 0; i < std::size(names); ++i) {
    b.AddEntry(names[i], PatternData(10 + i, 1), {{SegmentKind::kStored, 10 + i}});
  }
  TempFile file(b.Build());
  Xp3Archive archive(file.path(), true);
  ASSERT_TRUE(archive.ParseIndex());
  const Xp3Archive::EntryList& list = archive.entries();
  ASSERT_EQ(list.size(), std::size(names));
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list.key(i), utf8[i]) << i;
    EXPECT_EQ(list[i].key, utf8[i]) << i;
    EXPECT_EQ(list.unpacked_size(i), 10 + i);
    EXPECT_EQ(list[i].unpacked_size, 10 + i);
  }
  // The overlay's spelling: separators replaced in place, for every view.
  archive.ReplaceInKeys('/', '\\');
  EXPECT_EQ(list.key(0), "plain\\a.txt");
  EXPECT_EQ(list[2].key, "\xE5\x9B\xBE\\\xE7\x89\x87.png");
  EXPECT_EQ(list.key(3), utf8[3]);
  std::unique_ptr<ReadStream> stream(archive.OpenEntry(list[0]));
  ASSERT_NE(stream, nullptr);
  Bytes read(10);
  EXPECT_TRUE(stream->ReadExact(read.data(), 10));
  EXPECT_EQ(read, PatternData(10, 1));
  // By index, as the overlay opens entries.
  stream.reset(archive.OpenEntryAt(1));
  ASSERT_NE(stream, nullptr);
  read.resize(11);
  EXPECT_TRUE(stream->ReadExact(read.data(), 11));
  EXPECT_EQ(read, PatternData(11, 1));
  EXPECT_EQ(archive.OpenEntryAt(list.size()), nullptr);
}

TEST(Xp3Index, NamesThatAreNotValidUtf16FailTheWholeIndex) {
  const Parsed p = Parse(StoredIndexArchive(
      Concat({FileChunkNamed(u"good"), FileChunkNamed(std::u16string{u'a', 0xD800, u'b'})})));
  EXPECT_FALSE(p.ok);
  EXPECT_TRUE(p.entries.empty());
}

// Names are encoded by the parser itself; each boundary of UTF-8 must give
// the bytes the strict conversion gives, or the entry would never be found.
TEST(Xp3Index, NamesAtEveryBoundaryOfUtf8BecomeExactlyTheirBytes) {
  for (const Utf8BoundaryCase& c : Utf8BoundaryCases()) {
    const std::u16string name = u"n/" + std::u16string(c.wide.begin(), c.wide.end());
    const Parsed p = Parse(StoredIndexArchive(FileChunkNamed(name)));
    EXPECT_EQ(p.ok, c.valid) << c.utf8;
    if (p.ok) {
      ASSERT_EQ(p.entries.size(), 1u);
      EXPECT_EQ(p.entries[0].key, "n/" + c.utf8);
    }
  }
}

// A compressed index whose zlib header asks for a preset dictionary: zlib
// answers the same at every call; the mount fails instead of waiting.
TEST(Xp3Index, CompressedIndexAskingForADictionaryFails) {
  const Bytes index = Concat({FileChunkNamed(u"a"), FileChunkNamed(u"b")});
  const Bytes packed = ZlibCompress(index);
  const Bytes wanting =
      Concat({Bytes{0x78, 0x20, 1, 2, 3, 4}, Bytes(packed.begin() + 2, packed.end())});
  ByteWriter w;
  w.Raw(Bytes{0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20, 0x0A, 0x1A, 0x8B, 0x67, 0x01}).U64(19);
  w.U8(1).U64(wanting.size()).U64(index.size()).Raw(wanting);
  const Parsed p = Parse(w.bytes());
  EXPECT_FALSE(p.ok);
  EXPECT_TRUE(p.entries.empty());
}

TEST(Xp3Index, FilesThatAreNotArchivesFailQuietly) {
  Bytes good = ArchiveBuilder().Build();
  Bytes bad_magic = good;
  bad_magic[10] = 0x02;
  for (const Bytes& file : {Bytes{}, Bytes(good.begin(), good.begin() + 15), bad_magic}) {
    const Parsed p = Parse(file);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.output, "");
  }
  Xp3Archive missing(TempFile(Bytes{}).path() + ".gone", true);
  EXPECT_FALSE(missing.ParseIndex());
}

TEST(Xp3Index, TruncatedOrOversizedPartsFailCleanly) {
  const Bytes file_chunk = FileChunkNamed(u"name");
  struct Case {
    const char* what;
    Bytes index;
  };
  const Case cases[] = {
      {"chunk header cut short", Bytes{'F', 'i', 'l', 'e', 1, 0}},
      {"chunk body cut short", Bytes(file_chunk.begin(), file_chunk.end() - 1)},
      {"chunk size near 2^64", Chunk("File", Bytes{}, ~0ull)},
      {"chunk size beyond the index", Chunk("File", Bytes{}, 0x7FFFFFFF)},
      {"unknown chunk running past the end", Chunk("Junk", Bytes(4, 0), 5)},
      {"unknown chunk with a size that would seek backwards",
       Concat({Chunk("Junk", Bytes{}, ~0ull - 11), file_chunk})},
      {"sub-chunk size near 2^64", Chunk("File", Chunk("info", Bytes{}, ~0ull))},
      {"sub-chunk size beyond the chunk", Chunk("File", Chunk("info", Bytes{}, 0x10000))},
      {"info cut short", Chunk("File", Chunk("info", Bytes(10, 0)))},
      {"name longer than the info",
       Chunk("File", Chunk("info", Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0,
                                         0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 'a', 0}))},
      {"segment record cut short", Chunk("File", Chunk("segm", Bytes(27, 0)))},
      {"adlr cut short", Chunk("File", Chunk("adlr", Bytes(3, 0)))},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Parse(StoredIndexArchive(c.index)).ok) << c.what;
  }
}

TEST(Xp3Index, HeaderFieldsPointingAnywhereFailCleanly) {
  Bytes base = StoredIndexArchive(FileChunkNamed(u"a"));
  auto with_u64 = [&](size_t at, uint64_t value) {
    Bytes f = base;
    for (int i = 0; i < 8; ++i) f[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return f;
  };
  EXPECT_FALSE(Parse(with_u64(11, ~0ull)).ok);          // index offset below 0 as signed
  EXPECT_FALSE(Parse(with_u64(11, 1ull << 40)).ok);     // far beyond the file
  EXPECT_FALSE(Parse(with_u64(20, ~0ull)).ok);          // stored index size
  EXPECT_FALSE(Parse(with_u64(20, 0xFFFFFFFFull)).ok);  // more than the file holds

  ArchiveBuilder::Header h;
  h.extended = true;
  Bytes ext = ArchiveBuilder(h).Build();
  for (int i = 0; i < 8; ++i) ext[24 + i] = 0xFF;  // skip count
  EXPECT_FALSE(Parse(ext).ok);
}

TEST(DecompressToBuffer, TakesTheRegionInEveryCase) {
  const Bytes data = PatternData(70000, 4);
  MemReadStream file(ZstdCompress(data));
  std::vector<uint8_t> out;
  EXPECT_TRUE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out, 70000));
  EXPECT_EQ(out, data);
  EXPECT_TRUE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out, 0));
  EXPECT_EQ(out, data);
  EXPECT_TRUE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out, 100));
  EXPECT_EQ(out, Bytes(data.begin(), data.begin() + 100));
  EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out, 70001));
  EXPECT_EQ(out.size(), 70000u);
  EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, 0), &out, 0));
  EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(nullptr, 0, 10), &out, 0));
}

// The index buffer is bounded by the compressed bytes the file really holds
// times 1032 (deflate's own limit): an index announced or decoding beyond
// that is refused, whatever the header claims.
TEST(DecompressToBuffer, RefusesExpansionBeyondTheBound) {
  {
    // zlib stays within the bound by itself.
    const Bytes zeros(4 << 20, 0);
    std::vector<uint8_t> out;
    MemReadStream file(ZlibCompress(zeros));
    const auto packed = static_cast<uint32_t>(file.size());
    EXPECT_TRUE(DecompressToBuffer(new ReadStreamRegion(&file, 0, packed), &out, 0));
    EXPECT_EQ(out, zeros);
  }
  {
    // zstd can claim far more.
    const Bytes zeros(4 << 20, 0);
    MemReadStream file(ZstdCompress(zeros));
    const auto packed = static_cast<uint32_t>(file.size());
    ASSERT_GT(zeros.size(), packed * 1032u);
    std::vector<uint8_t> out;
    EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, packed), &out, 0));
    EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, packed), &out,
                                    static_cast<uint32_t>(zeros.size())));
    EXPECT_LE(out.capacity(), packed * 1032u);
  }
}

// A zstd frame whose window (128 KiB) is small but whose content is not: its window
// bounds nothing of what it decodes to, so the bound on the expansion must
// refuse it before decoding, even when it announces its true size.
TEST(DecompressToBuffer, RefusesASmallWindowFrameThatExpandsBeyondTheBound) {
  const Bytes zeros(4 << 20, 0);
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ASSERT_NE(context, nullptr);
  ASSERT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 17)));
  Bytes packed(ZSTD_compressBound(zeros.size()));
  const size_t size =
      ZSTD_compress2(context, packed.data(), packed.size(), zeros.data(), zeros.size());
  ZSTD_freeCCtx(context);
  ASSERT_FALSE(ZSTD_isError(size));
  packed.resize(size);
  ASSERT_GT(zeros.size(), packed.size() * 1032u);
  MemReadStream file(packed);
  std::vector<uint8_t> out;
  EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out,
                                  static_cast<uint32_t>(zeros.size())));
  EXPECT_FALSE(DecompressToBuffer(new ReadStreamRegion(&file, 0, file.size()), &out, 0));
}

TEST(Xp3Index, CompressedIndexHeaderCannotForceAHugeAllocation) {
  // A few dozen bytes: a compressed index that announces nearly 4 GiB of
  // index data in a packed size far beyond the file.
  ArchiveBuilder b;
  b.AddEntry(u"a.txt", PatternData(100, 1), {{SegmentKind::kStored, 100}});
  for (ArchiveBuilder::IndexCoding coding :
       {ArchiveBuilder::IndexCoding::kZlib, ArchiveBuilder::IndexCoding::kZstd}) {
    Bytes file = b.Build(coding, 0xFFFFFFF0u);
    // Packed size field: right after the method byte at the index offset.
    uint64_t offset = 0;
    for (int i = 0; i < 8; ++i) offset |= uint64_t{file[11 + i]} << (8 * i);
    for (int i = 0; i < 8; ++i) file[offset + 1 + i] = 0xFF;
    file[offset + 8] = 0x7F;  // 2^63 - 1
    EXPECT_FALSE(Parse(file).ok);
  }
}

}  // namespace
