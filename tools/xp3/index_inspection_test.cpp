// The strict look `xp3 verify` takes at an index: what the patch's reader
// lets pass (a compressed index's checksum, declared sizes, unknown chunks)
// is reported, and a sound archive gives nothing to report.
#include "tools/xp3/index_inspection.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "archive/xp3_archive.h"
#include "tools/xp3/xp3_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

uint64_t Le(const Bytes& data, size_t at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | data[at + i];
  return value;
}
void PutLe(Bytes* data, size_t at, uint64_t value) {
  for (int i = 0; i < 8; ++i) (*data)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

class IndexInspectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("index_inspection_" + std::to_string(std::random_device{}()) + ".xp3");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  // An archive of two entries, its index compressed as asked.
  Bytes Make(Xp3Compression index) {
    Xp3WriterOptions options;
    options.index_compression = index;
    Xp3Writer writer(options);
    std::string error;
    EXPECT_TRUE(writer.Open(path_.string(), &error)) << error;
    const std::string a(5000, 'a'), b = "scene text";
    EXPECT_TRUE(writer.AddEntry("data/a.txt", a.data(), a.size(), &error));
    EXPECT_TRUE(writer.AddEntry("data/b.txt", b.data(), b.size(), &error));
    EXPECT_TRUE(writer.Finish(&error)) << error;
    return Read();
  }
  Bytes Read() const {
    std::ifstream in(path_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const Bytes& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  // Whether the patch's own reader accepts the file as it is.
  bool ReaderAccepts() const { return Xp3Archive(path_.string(), false).ParseIndex(); }
  // The one problem reported; fails the test when there is not exactly one.
  std::string OnlyProblem() const {
    const IndexInspection inspection = InspectIndex(path_);
    EXPECT_EQ(inspection.problems.size(), 1u);
    return inspection.problems.empty() ? "" : inspection.problems.front();
  }

  fs::path path_;
};

TEST_F(IndexInspectionTest, ArchivesOfTheWriterHaveNothingToReport) {
  for (Xp3Compression index :
       {Xp3Compression::kNone, Xp3Compression::kZlib, Xp3Compression::kZstd}) {
    Make(index);
    const IndexInspection inspection = InspectIndex(path_);
    EXPECT_TRUE(inspection.problems.empty())
        << CompressionName(index) << ": " << inspection.problems.front();
    EXPECT_TRUE(inspection.warnings.empty()) << CompressionName(index);
  }
}

TEST_F(IndexInspectionTest, ACompressedIndexMustCarryARightChecksum) {
  // zlib: the Adler-32 trailer ends the file.
  Bytes file = Make(Xp3Compression::kZlib);
  file.back() ^= 0x55;
  Write(file);
  EXPECT_EQ(OnlyProblem(), "the compressed index's checksum is wrong (the index data is damaged)");

  // zlib without its trailer: the block is four bytes shorter and says so.
  file = Make(Xp3Compression::kZlib);
  const size_t block = static_cast<size_t>(Le(file, 11));
  PutLe(&file, block + 1, Le(file, block + 1) - 4);
  file.resize(file.size() - 4);
  Write(file);
  EXPECT_TRUE(ReaderAccepts());
  EXPECT_EQ(OnlyProblem(),
            "the compressed index ends before its checksum (the stream is cut short)");

  // zstd: a wrong content checksum, then a frame without one.
  file = Make(Xp3Compression::kZstd);
  file.back() ^= 0x55;
  Write(file);
  EXPECT_EQ(OnlyProblem(), "the compressed index's checksum is wrong (the index data is damaged)");

  Bytes stored = Make(Xp3Compression::kNone);
  const size_t index_at = static_cast<size_t>(Le(stored, 11));
  const Bytes data(stored.begin() + index_at + 9, stored.end());
  Bytes frame(ZSTD_compressBound(data.size()));
  frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), 3));
  stored.resize(index_at);
  stored.push_back(1);
  stored.resize(stored.size() + 16);
  PutLe(&stored, index_at + 1, frame.size());
  PutLe(&stored, index_at + 9, data.size());
  stored.insert(stored.end(), frame.begin(), frame.end());
  Write(stored);
  EXPECT_TRUE(ReaderAccepts());
  EXPECT_EQ(OnlyProblem(), "the compressed index has no checksum (zstd frame without one)");
}

TEST_F(IndexInspectionTest, DeclaredSizesMustAgreeWithTheContents) {
  // The index block's unpacked size: the reader takes it on trust.
  Bytes file = Make(Xp3Compression::kZlib);
  const size_t block = static_cast<size_t>(Le(file, 11));
  const uint64_t unpacked = Le(file, block + 9);
  PutLe(&file, block + 9, unpacked - 10);
  Write(file);
  EXPECT_EQ(OnlyProblem(), "the index block declares " + std::to_string(unpacked - 10) +
                               " bytes unpacked, its data holds " + std::to_string(unpacked));

  // An entry's unpacked size against its segments.
  file = Make(Xp3Compression::kNone);
  const auto info = std::search(file.begin(), file.end(), std::begin("info"), std::end("info") - 1);
  ASSERT_NE(info, file.end());
  const size_t size_at = static_cast<size_t>(info - file.begin()) + 12 + 4;
  PutLe(&file, size_at, Le(file, size_at) + 1);
  Write(file);
  EXPECT_TRUE(ReaderAccepts());
  EXPECT_EQ(OnlyProblem(),
            "index entry data/a.txt: it declares 5001 bytes unpacked, its segments hold 5000");
}

TEST_F(IndexInspectionTest, UnknownChunksAreAWarningInTheToolsWords) {
  Bytes file = Make(Xp3Compression::kNone);
  const size_t index_at = static_cast<size_t>(Le(file, 11));
  PutLe(&file, index_at + 1, Le(file, index_at + 1) + 15);
  const char junk[] = "Junk\x03\0\0\0\0\0\0\0abc";
  file.insert(file.end(), junk, junk + 15);
  Write(file);
  const IndexInspection inspection = InspectIndex(path_);
  EXPECT_TRUE(inspection.problems.empty());
  ASSERT_EQ(inspection.warnings.size(), 1u);
  EXPECT_EQ(inspection.warnings[0],
            "the index holds a chunk of unknown kind \"Junk\" (3 bytes), which the patch skips");
}

TEST_F(IndexInspectionTest, AFileThatIsNoArchiveSaysSo) {
  Write(Bytes(40, 0));  // what an interrupted pack leaves: no magic yet
  EXPECT_EQ(OnlyProblem(), "not an XP3 archive (wrong header)");
}

}  // namespace
