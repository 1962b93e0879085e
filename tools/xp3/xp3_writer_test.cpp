// The writer's output, taken apart byte by byte: header forms, index blocks,
// "File" chunks, segment splitting and the store-when-not-smaller rule.
#include "tools/xp3/xp3_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

uint64_t GetLe(const Bytes& data, size_t offset, int width) {
  EXPECT_LE(offset + width, data.size());
  if (offset + width > data.size()) return 0;
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | data[offset + i];
  return value;
}

struct ParsedSegment {
  uint32_t flags;
  uint64_t offset, unpacked, packed;
};
struct ParsedEntry {
  std::u16string name;
  uint32_t flags = 0;
  uint64_t unpacked = 0, packed = 0;
  uint32_t adler = 0;
  std::vector<ParsedSegment> segments;
};
struct ParsedArchive {
  uint64_t index_offset = 0;
  uint8_t index_method = 0;
  Bytes packed_index;  // as stored in the file
  Bytes index;         // decoded
  std::vector<ParsedEntry> entries;
};

Bytes Inflate(const Bytes& packed, size_t size) {
  Bytes out(size);
  uLongf out_size = static_cast<uLongf>(size);
  EXPECT_EQ(uncompress(out.data(), &out_size, packed.data(), static_cast<uLong>(packed.size())),
            Z_OK);
  out.resize(out_size);
  return out;
}

Bytes Decode(const Bytes& packed, size_t size) {
  if (packed.size() >= 4 && GetLe(packed, 0, 4) == 0xFD2FB528) {
    Bytes out(size);
    size_t got = ZSTD_decompress(out.data(), out.size(), packed.data(), packed.size());
    EXPECT_FALSE(ZSTD_isError(got));
    out.resize(ZSTD_isError(got) ? 0 : got);
    return out;
  }
  return Inflate(packed, size);
}

// Parses the whole archive by hand, independently of the project's reader.
ParsedArchive Parse(const Bytes& file) {
  ParsedArchive archive;
  static const uint8_t kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20,
                                     0x0A, 0x1A, 0x8B, 0x67, 0x01};
  EXPECT_GE(file.size(), 19u);
  EXPECT_EQ(std::memcmp(file.data(), kMagic, 11), 0);
  archive.index_offset = GetLe(file, 11, 8);
  if (archive.index_offset == 23) archive.index_offset = GetLe(file, 32, 8);
  size_t at = archive.index_offset;
  archive.index_method = file.at(at);
  if (archive.index_method == 0) {
    uint64_t size = GetLe(file, at + 1, 8);
    EXPECT_EQ(at + 9 + size, file.size()) << "the index ends the file";
    archive.index.assign(file.begin() + at + 9, file.begin() + at + 9 + size);
  } else {
    uint64_t packed = GetLe(file, at + 1, 8);
    uint64_t unpacked = GetLe(file, at + 9, 8);
    EXPECT_EQ(at + 17 + packed, file.size()) << "the index ends the file";
    archive.packed_index.assign(file.begin() + at + 17, file.begin() + at + 17 + packed);
    archive.index = Decode(archive.packed_index, unpacked);
    EXPECT_EQ(archive.index.size(), unpacked);
  }
  const Bytes& index = archive.index;
  for (size_t pos = 0; pos < index.size();) {
    EXPECT_EQ(std::string(index.begin() + pos, index.begin() + pos + 4), "File");
    uint64_t size = GetLe(index, pos + 4, 8);
    size_t end = pos + 12 + size;
    ParsedEntry entry;
    for (size_t sub = pos + 12; sub < end;) {
      std::string tag(index.begin() + sub, index.begin() + sub + 4);
      uint64_t body = GetLe(index, sub + 4, 8);
      size_t b = sub + 12;
      if (tag == "info") {
        entry.flags = static_cast<uint32_t>(GetLe(index, b, 4));
        entry.unpacked = GetLe(index, b + 4, 8);
        entry.packed = GetLe(index, b + 12, 8);
        size_t length = GetLe(index, b + 20, 2);
        EXPECT_EQ(body, 22 + 2 * length);
        for (size_t i = 0; i < length; ++i) {
          entry.name.push_back(static_cast<char16_t>(GetLe(index, b + 22 + 2 * i, 2)));
        }
      } else if (tag == "segm") {
        EXPECT_EQ(body % 28, 0u);
        for (size_t r = b; r < b + body; r += 28) {
          entry.segments.push_back({static_cast<uint32_t>(GetLe(index, r, 4)),
                                    GetLe(index, r + 4, 8), GetLe(index, r + 12, 8),
                                    GetLe(index, r + 20, 8)});
        }
      } else if (tag == "adlr") {
        EXPECT_EQ(body, 4u);
        entry.adler = static_cast<uint32_t>(GetLe(index, b, 4));
      } else {
        ADD_FAILURE() << "unexpected sub-chunk " << tag;
      }
      sub = b + body;
    }
    archive.entries.push_back(entry);
    pos = end;
  }
  return archive;
}

// The entry's bytes, put together from its segments as a reader would.
Bytes Contents(const Bytes& file, const ParsedEntry& entry) {
  Bytes out;
  for (const ParsedSegment& s : entry.segments) {
    Bytes raw(file.begin() + s.offset, file.begin() + s.offset + s.packed);
    if (s.flags == 1) raw = Decode(raw, s.unpacked);
    EXPECT_EQ(raw.size(), s.unpacked);
    out.insert(out.end(), raw.begin(), raw.end());
  }
  return out;
}

Bytes Compressible(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<uint8_t>("translated text "[i % 16] + i / 4096 % 3);
  return data;
}

Bytes Random(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<uint8_t>(engine());
  return data;
}

class Xp3WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("xp3_writer_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string PathOf(const std::string& name) {
    auto u8 = (dir_ / name).u8string();
    return std::string(u8.begin(), u8.end());
  }
  Bytes ReadAll(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // Writes an archive of `entries` with `options` and returns its bytes.
  Bytes Build(const Xp3WriterOptions& options,
              const std::vector<std::pair<std::string, Bytes>>& entries) {
    Xp3Writer writer(options);
    std::string error;
    EXPECT_TRUE(writer.Open(PathOf("out.xp3"), &error)) << error;
    for (const auto& [name, data] : entries) {
      EXPECT_TRUE(writer.AddEntry(name, data.data(), data.size(), &error)) << error;
    }
    EXPECT_TRUE(writer.Finish(&error)) << error;
    return ReadAll("out.xp3");
  }

  fs::path dir_;
};

TEST_F(Xp3WriterTest, PlainHeaderAndStoredIndexDescribeEveryEntry) {
  Xp3WriterOptions options;
  options.compression = Xp3Compression::kNone;
  options.index_compression = Xp3Compression::kNone;
  Bytes a = {'a', 'b', 'c'};
  Bytes file = Build(options, {{"scenario/first.txt", a}, {"empty.txt", {}}});

  ParsedArchive archive = Parse(file);
  EXPECT_EQ(archive.index_method, 0);
  EXPECT_EQ(GetLe(file, 11, 8), archive.index_offset) << "no extended header asked for";
  ASSERT_EQ(archive.entries.size(), 2u);

  const ParsedEntry& first = archive.entries[0];
  EXPECT_EQ(first.name, u"scenario/first.txt");
  EXPECT_EQ(first.flags, 0u);
  EXPECT_EQ(first.unpacked, 3u);
  EXPECT_EQ(first.packed, 3u);
  EXPECT_EQ(first.adler, Adler32(a.data(), a.size()));
  ASSERT_EQ(first.segments.size(), 1u);
  EXPECT_EQ(first.segments[0].flags, 0u);
  EXPECT_EQ(first.segments[0].offset, 19u) << "data follows the 19-byte header";
  EXPECT_EQ(Contents(file, first), a);

  const ParsedEntry& empty = archive.entries[1];
  EXPECT_EQ(empty.unpacked, 0u);
  EXPECT_EQ(empty.adler, 1u) << "Adler-32 of nothing";
  ASSERT_EQ(empty.segments.size(), 1u) << "an empty entry still has one (empty, stored) segment";
  EXPECT_EQ(empty.segments[0].flags, 0u);
  EXPECT_EQ(empty.segments[0].packed, 0u);
}

TEST_F(Xp3WriterTest, ExtendedHeaderAnnouncesIndexOffsetAt32) {
  Xp3WriterOptions options;
  options.extended_header = true;
  Bytes data = Compressible(1000);
  Bytes file = Build(options, {{"a", data}});
  EXPECT_EQ(GetLe(file, 11, 8), 23u);
  EXPECT_EQ(GetLe(file, 19, 4), 1u) << "header version";
  EXPECT_EQ(file[23], 0x80) << "index continuation flag";
  EXPECT_EQ(GetLe(file, 24, 8), 0u) << "nothing to skip";
  ParsedArchive archive = Parse(file);
  ASSERT_EQ(archive.entries.size(), 1u);
  EXPECT_EQ(archive.entries[0].segments[0].offset, 40u);
  EXPECT_EQ(Contents(file, archive.entries[0]), data);
}

TEST_F(Xp3WriterTest, CompressedIndexDecodesToTheStoredIndex) {
  std::vector<std::pair<std::string, Bytes>> entries = {{"x.txt", Compressible(300)},
                                                        {"y.txt", Compressible(70)}};
  Xp3WriterOptions stored;
  stored.index_compression = Xp3Compression::kNone;
  Bytes reference = Parse(Build(stored, entries)).index;

  for (Xp3Compression method : {Xp3Compression::kZlib, Xp3Compression::kZstd}) {
    Xp3WriterOptions options;
    options.index_compression = method;
    ParsedArchive archive = Parse(Build(options, entries));
    EXPECT_EQ(archive.index_method, 1);
    bool zstd_magic = GetLe(archive.packed_index, 0, 4) == 0xFD2FB528;
    EXPECT_EQ(zstd_magic, method == Xp3Compression::kZstd) << CompressionName(method);
    EXPECT_EQ(archive.index, reference) << CompressionName(method);
  }
}

TEST_F(Xp3WriterTest, EmptyArchiveHasAnEmptyIndex) {
  for (Xp3Compression method :
       {Xp3Compression::kNone, Xp3Compression::kZlib, Xp3Compression::kZstd}) {
    Xp3WriterOptions options;
    options.index_compression = method;
    ParsedArchive archive = Parse(Build(options, {}));
    EXPECT_TRUE(archive.index.empty());
    EXPECT_EQ(archive.index_offset, 19u);
  }
}

TEST_F(Xp3WriterTest, LargeEntriesAreCutIntoSegmentsOfEachMethod) {
  Bytes data = Compressible(2500);
  for (Xp3Compression method : {Xp3Compression::kZlib, Xp3Compression::kZstd}) {
    Xp3WriterOptions options;
    options.compression = method;
    options.segment_size = 1000;
    Bytes file = Build(options, {{"big", data}});
    ParsedEntry entry = Parse(file).entries.at(0);
    ASSERT_EQ(entry.segments.size(), 3u);
    uint64_t offset = 19, packed = 0;
    for (size_t i = 0; i < 3; ++i) {
      const ParsedSegment& s = entry.segments[i];
      EXPECT_EQ(s.flags, 1u);
      EXPECT_EQ(s.offset, offset) << "segments follow each other";
      EXPECT_EQ(s.unpacked, i < 2 ? 1000u : 500u);
      EXPECT_LT(s.packed, s.unpacked);
      bool zstd_magic = GetLe(file, s.offset, 4) == 0xFD2FB528;
      EXPECT_EQ(zstd_magic, method == Xp3Compression::kZstd);
      offset += s.packed;
      packed += s.packed;
    }
    EXPECT_EQ(entry.packed, packed);
    EXPECT_EQ(entry.unpacked, data.size());
    EXPECT_EQ(Contents(file, entry), data);
    EXPECT_EQ(entry.adler, Adler32(data.data(), data.size()));
  }
}

TEST_F(Xp3WriterTest, SegmentsThatDoNotShrinkAreStored) {
  Bytes noise = Random(3000, 1);
  Bytes mixed = Compressible(2000);
  mixed.insert(mixed.end(), noise.begin(), noise.begin() + 1000);
  Xp3WriterOptions options;
  options.segment_size = 1000;
  Bytes file = Build(options, {{"noise", noise}, {"mixed", mixed}});
  ParsedArchive archive = Parse(file);
  for (const ParsedSegment& s : archive.entries[0].segments) {
    EXPECT_EQ(s.flags, 0u);
    EXPECT_EQ(s.packed, s.unpacked);
  }
  const auto& segments = archive.entries[1].segments;
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[0].flags, 1u);
  EXPECT_EQ(segments[1].flags, 1u);
  EXPECT_EQ(segments[2].flags, 0u);
  EXPECT_EQ(Contents(file, archive.entries[0]), noise);
  EXPECT_EQ(Contents(file, archive.entries[1]), mixed);
}

TEST_F(Xp3WriterTest, NamesAreUtf16WithLengthInCodeUnits) {
  Bytes one = {1};
  // "文本/对话.txt" and a character outside the basic plane (two UTF-16 units).
  Bytes file = Build({}, {{"\xE6\x96\x87\xE6\x9C\xAC/\xE5\xAF\xB9\xE8\xAF\x9D.txt", one},
                          {"\xF0\x9F\x98\x80", one}});
  ParsedArchive archive = Parse(file);
  EXPECT_EQ(archive.entries[0].name, u"文本/对话.txt");
  EXPECT_EQ(archive.entries[1].name, u"\U0001F600");
  EXPECT_EQ(archive.entries[1].name.size(), 2u);
}

TEST_F(Xp3WriterTest, RefusedNamesLeaveTheArchiveUsable) {
  Xp3Writer writer({});
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("out.xp3"), &error)) << error;
  Bytes data = {1, 2, 3};
  EXPECT_FALSE(writer.AddEntry("", data.data(), data.size(), &error));
  EXPECT_FALSE(writer.AddEntry("bad\xFF", data.data(), data.size(), &error));
  EXPECT_NE(error.find("UTF-8"), std::string::npos) << error;
  EXPECT_FALSE(writer.AddEntry(std::string(65536, 'n'), data.data(), data.size(), &error));
  EXPECT_TRUE(writer.AddEntry(std::string(65535, 'n'), data.data(), data.size(), &error)) << error;
  EXPECT_TRUE(writer.AddEntry("ok", data.data(), data.size(), &error)) << error;
  ASSERT_TRUE(writer.Finish(&error)) << error;
  ParsedArchive archive = Parse(ReadAll("out.xp3"));
  ASSERT_EQ(archive.entries.size(), 2u);
  EXPECT_EQ(archive.entries[1].name, u"ok");
}

TEST_F(Xp3WriterTest, LevelsOutsideTheLibraryRangeAreRefused) {
  std::string error;
  Xp3Writer zlib({Xp3Compression::kZlib, 10});
  EXPECT_FALSE(zlib.Open(PathOf("a.xp3"), &error));
  Xp3Writer zstd({Xp3Compression::kZstd, 99});
  EXPECT_FALSE(zstd.Open(PathOf("b.xp3"), &error));
  Xp3Writer fine({Xp3Compression::kZstd, 19});
  EXPECT_TRUE(fine.Open(PathOf("c.xp3"), &error)) << error;
}

TEST_F(Xp3WriterTest, FileEntriesStreamIntoOneSegmentOrMany) {
  Bytes text = Compressible(3 << 20);
  Bytes noise = Random(2 << 20, 2);
  for (const Bytes* data : {&text, &noise}) {
    {
      std::ofstream out(dir_ / "input.bin", std::ios::binary);
      out.write(reinterpret_cast<const char*>(data->data()), data->size());
    }
    for (uint64_t segment_size : {uint64_t{0}, uint64_t{1} << 20}) {
      for (Xp3Compression method :
           {Xp3Compression::kNone, Xp3Compression::kZlib, Xp3Compression::kZstd}) {
        Xp3WriterOptions options;
        options.compression = method;
        options.segment_size = segment_size;
        std::vector<uint64_t> reported;  // what a progress display is told
        options.on_segment = [&reported](uint64_t size) { reported.push_back(size); };
        Xp3Writer writer(options);
        std::string error;
        ASSERT_TRUE(writer.Open(PathOf("out.xp3"), &error)) << error;
        std::FILE* input = std::fopen(PathOf("input.bin").c_str(), "rb");
        ASSERT_NE(input, nullptr);
        EXPECT_TRUE(writer.AddEntryFromFile("streamed", input, &error)) << error;
        std::fclose(input);
        EXPECT_EQ(reported.size(), segment_size == 0 ? 1u : data->size() >> 20);
        uint64_t reported_bytes = 0;
        for (uint64_t size : reported) reported_bytes += size;
        EXPECT_EQ(reported_bytes, data->size());
        EXPECT_TRUE(writer.AddEntry("after", data->data(), 10, &error)) << error;
        ASSERT_TRUE(writer.Finish(&error)) << error;

        Bytes file = ReadAll("out.xp3");
        ParsedArchive archive = Parse(file);  // also checks that nothing trails the index
        ASSERT_EQ(archive.entries.size(), 2u);
        const ParsedEntry& entry = archive.entries[0];
        SCOPED_TRACE(std::string(CompressionName(method)) + " segment size " +
                     std::to_string(segment_size) + (data == &noise ? " noise" : " text"));
        EXPECT_EQ(entry.segments.size(), segment_size == 0 ? 1u : data->size() >> 20);
        bool expect_compressed = method != Xp3Compression::kNone && data == &text;
        for (const ParsedSegment& s : entry.segments)
          EXPECT_EQ(s.flags, expect_compressed ? 1u : 0u);
        EXPECT_EQ(entry.adler, Adler32(data->data(), data->size()));
        EXPECT_EQ(Contents(file, entry), *data);
        EXPECT_EQ(Contents(file, archive.entries[1]), Bytes(data->begin(), data->begin() + 10));
      }
    }
  }
}

// A read error is made by reading a write-only stream; the Windows runtime
// reports that as end of file instead, so the case runs in the native build.
#ifndef _WIN32
TEST_F(Xp3WriterTest, UnreadableInputIsReportedAndLeavesNoTrace) {
  for (uint64_t segment_size : {uint64_t{0}, kDefaultSegmentSize}) {
    Xp3WriterOptions options;
    options.segment_size = segment_size;
    Xp3Writer writer(options);
    std::string error;
    ASSERT_TRUE(writer.Open(PathOf("out.xp3"), &error)) << error;
    Bytes a = Compressible(5000), b = {7, 8, 9};
    ASSERT_TRUE(writer.AddEntry("a", a.data(), a.size(), &error)) << error;
    std::FILE* unreadable = std::fopen(PathOf("write_only.bin").c_str(), "wb");
    ASSERT_NE(unreadable, nullptr);
    EXPECT_FALSE(writer.AddEntryFromFile("lost", unreadable, &error));
    std::fclose(unreadable);
    EXPECT_NE(error.find("lost"), std::string::npos) << error;
    ASSERT_TRUE(writer.AddEntry("b", b.data(), b.size(), &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;

    Bytes file = ReadAll("out.xp3");
    ParsedArchive archive = Parse(file);
    ASSERT_EQ(archive.entries.size(), 2u);
    EXPECT_EQ(Contents(file, archive.entries[0]), a);
    EXPECT_EQ(archive.entries[1].name, u"b");
    EXPECT_EQ(Contents(file, archive.entries[1]), b);
  }
}
#endif

TEST_F(Xp3WriterTest, UnfinishedArchiveIsClosedWithoutAnIndex) {
  {
    Xp3Writer writer({});
    std::string error;
    ASSERT_TRUE(writer.Open(PathOf("out.xp3"), &error)) << error;
    Bytes data = {1, 2, 3};
    ASSERT_TRUE(writer.AddEntry("a", data.data(), data.size(), &error));
  }
  Bytes file = ReadAll("out.xp3");
  ASSERT_GE(file.size(), 19u);
  // Neither magic nor index offset: a killed pack never looks like an archive.
  EXPECT_EQ(file[0], 0u);
  EXPECT_EQ(GetLe(file, 11, 8), 0u) << "the index offset is never filled in";
  EXPECT_FALSE(fs::exists(dir_ / "missing" / "x.xp3"));
  Xp3Writer writer({});
  std::string error;
  EXPECT_FALSE(writer.Open(PathOf("missing/x.xp3"), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
