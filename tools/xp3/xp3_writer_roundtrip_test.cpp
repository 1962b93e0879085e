// Archives made by the writer, read back through the patch's own reader: every
// combination of entry compression, index form and header form must give
// back the entries' names, sizes, checksums and bytes, also when reading
// starts in the middle of a segment.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>

#include "archive/read_stream.h"
#include "archive/xp3_archive.h"
#include "tools/xp3/xp3_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Sample(size_t size, unsigned seed, bool compressible) {
  std::mt19937 engine(seed);
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) {
    data[i] = compressible ? static_cast<uint8_t>("scene text, "[i % 12] ^ (i >> 11 & 7))
                           : static_cast<uint8_t>(engine());
  }
  return data;
}

class Xp3WriterRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("xp3_roundtrip_" + std::to_string(std::random_device{}()) + ".xp3");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  std::string Path() const {
    auto u8 = path_.u8string();
    return std::string(u8.begin(), u8.end());
  }

  fs::path path_;
};

TEST_F(Xp3WriterRoundTripTest, EveryOptionCombinationReadsBackThroughTheReader) {
  const std::vector<std::pair<std::string, Bytes>> entries = {
      {"data/system/Config.ini", Sample(5000, 1, true)},
      {"\xE5\x9B\xBE\xE7\x89\x87/bg01.png", Sample(2500, 2, false)},  // 图片/bg01.png
      {"empty.txt", {}},
      {"mixed.bin",
       [] {
         Bytes d = Sample(3000, 3, true);
         Bytes n = Sample(1500, 4, false);
         d.insert(d.end(), n.begin(), n.end());
         return d;
       }()},
  };
  const Xp3Compression methods[] = {Xp3Compression::kNone, Xp3Compression::kZlib,
                                    Xp3Compression::kZstd};
  for (Xp3Compression method : methods) {
    for (Xp3Compression index : methods) {
      for (uint64_t segment_size : {uint64_t{0}, uint64_t{1000}}) {
        for (bool extended : {false, true}) {
          SCOPED_TRACE(std::string("entries ") + CompressionName(method) + ", index " +
                       CompressionName(index) + ", segment size " + std::to_string(segment_size) +
                       (extended ? ", extended header" : ""));
          Xp3Writer writer({method, 0, segment_size, index, extended});
          std::string error;
          ASSERT_TRUE(writer.Open(Path(), &error)) << error;
          for (const auto& [name, data] : entries) {
            ASSERT_TRUE(writer.AddEntry(name, data.data(), data.size(), &error)) << error;
          }
          ASSERT_TRUE(writer.Finish(&error)) << error;

          Xp3Archive archive(Path(), true);
          ASSERT_TRUE(archive.ParseIndex());
          EXPECT_EQ(archive.header_version(), extended ? 1u : 0u);
          ASSERT_EQ(archive.entries().size(), entries.size());
          for (size_t i = 0; i < entries.size(); ++i) {
            const Xp3Entry& entry = archive.entries()[i];
            const Bytes& data = entries[i].second;
            EXPECT_EQ(entry.key, entries[i].first);
            EXPECT_EQ(entry.unpacked_size, data.size());
            EXPECT_EQ(entry.checksum, Adler32(data.data(), data.size()));

            std::unique_ptr<ReadStream> stream(archive.OpenEntry(entry));
            ASSERT_TRUE(stream);
            Bytes all(data.size());
            EXPECT_TRUE(data.empty() || stream->ReadExact(all.data(), all.size()));
            EXPECT_EQ(all, data) << entry.key;
            // Backwards into the middle of a segment, then across the next boundary.
            if (data.size() > 1700) {
              ASSERT_TRUE(stream->Seek(1500, SeekOrigin::Begin));
              Bytes part(200);
              ASSERT_TRUE(stream->ReadExact(part.data(), part.size()));
              EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin() + 1500));
            }
            EXPECT_FALSE(stream->HasError());
          }
        }
      }
    }
  }
}

}  // namespace
