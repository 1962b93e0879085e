// Test support: byte-level assembly of archive files and compressed data, and
// temporary files that remove themselves. The builder writes exactly the
// bytes it is told to, so tests can also make corrupt archives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/xp3_entry.h"

using Bytes = std::vector<uint8_t>;

// Little-endian appends.
class ByteWriter {
 public:
  ByteWriter& U8(uint8_t v);
  ByteWriter& U16(uint16_t v);
  ByteWriter& U32(uint32_t v);
  ByteWriter& U64(uint64_t v);
  ByteWriter& Raw(const Bytes& bytes);
  ByteWriter& Raw(const std::string& bytes);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// A chunk or sub-chunk: 4-byte tag, u64 body size, body. `size` overrides the
// size field when given (for corrupt cases).
Bytes Chunk(const std::string& tag, const Bytes& body);
Bytes Chunk(const std::string& tag, const Bytes& body, uint64_t size);
Bytes InfoBody(uint32_t flags, uint64_t unpacked_size, uint64_t packed_size,
               const std::u16string& name);
Bytes SegmBody(const std::vector<Xp3Segment>& segments);
Bytes AdlrBody(uint32_t checksum);
Bytes Concat(std::initializer_list<Bytes> parts);

Bytes ZlibCompress(const Bytes& data);
Bytes ZstdCompress(const Bytes& data);
// Damage that the decoders must detect: the zlib data with 16 bytes in its
// middle flipped, the zstd frame (of at least three blocks) with its third
// block given the reserved block type.
Bytes CorruptZlib(const Bytes& packed);
Bytes CorruptZstd(const Bytes& packed);
// Deterministic data that compresses somewhat (runs mixed with noise).
Bytes PatternData(size_t size, uint32_t seed);

enum class SegmentKind { kStored, kZlib, kZstd };

struct SegmentPlan {
  SegmentKind kind;
  size_t size;  // bytes of the entry's content in this segment
};

// Lays out an archive: header, entry data, index at the end.
class ArchiveBuilder {
 public:
  struct Header {
    bool extended = false;
    uint32_t version = 1;
    uint8_t continue_flag = 0x80;
    uint64_t skip = 0;  // bytes between the skip field and the index offset
  };
  enum class IndexCoding { kStored, kZlib, kZstd };

  ArchiveBuilder();
  explicit ArchiveBuilder(const Header& header);

  // Appends bytes to the data area and returns their offset in the file.
  uint64_t AddData(const Bytes& data);
  // Stores `content` split as planned and adds a "File" chunk for it.
  void AddEntry(const std::u16string& name, const Bytes& content,
                const std::vector<SegmentPlan>& plan);
  // Adds a top-level index chunk as given (a "File" chunk built by hand, or
  // any other tag).
  void AddIndexChunk(const Bytes& chunk) { index_.Raw(chunk); }

  const Bytes& index_data() const { return index_.bytes(); }
  // The whole file. `unpacked_size_override`, when not ~0, replaces the
  // unpacked size of a compressed index.
  Bytes Build(IndexCoding coding = IndexCoding::kStored,
              uint64_t unpacked_size_override = ~0ull) const;

 private:
  Bytes HeaderBytes(uint64_t index_offset) const;
  size_t HeaderSize() const;

  Header header_;
  Bytes data_;
  ByteWriter index_;
};

// A file in the system's temporary directory, removed on destruction.
class TempFile {
 public:
  explicit TempFile(const Bytes& contents, const std::string& suffix = ".xp3");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // UTF-8 path for the streams under test.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes a file under an exact name given as UTF-16 (the system's native name
// on Windows, UTF-8 elsewhere) and returns false when the system refuses it.
bool WriteFileW(const std::u16string& path, const std::string& contents);
bool RemoveFileW(const std::u16string& path);
// The temporary directory as UTF-16, with a trailing separator.
std::u16string TempDirW();
