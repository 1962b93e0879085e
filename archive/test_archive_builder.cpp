#include "archive/test_archive_builder.h"

#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

ByteWriter& ByteWriter::U8(uint8_t v) {
  bytes_.push_back(v);
  return *this;
}
ByteWriter& ByteWriter::U16(uint16_t v) {
  for (int i = 0; i < 2; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}
ByteWriter& ByteWriter::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}
ByteWriter& ByteWriter::U64(uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}
ByteWriter& ByteWriter::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}
ByteWriter& ByteWriter::Raw(const std::string& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes Chunk(const std::string& tag, const Bytes& body) { return Chunk(tag, body, body.size()); }

Bytes Chunk(const std::string& tag, const Bytes& body, uint64_t size) {
  if (tag.size() != 4) throw std::invalid_argument("chunk tags have 4 bytes");
  ByteWriter w;
  w.Raw(tag).U64(size).Raw(body);
  return w.bytes();
}

Bytes InfoBody(uint32_t flags, uint64_t unpacked_size, uint64_t packed_size,
               const std::u16string& name) {
  ByteWriter w;
  w.U32(flags).U64(unpacked_size).U64(packed_size).U16(static_cast<uint16_t>(name.size()));
  for (char16_t c : name) w.U16(c);
  return w.bytes();
}

Bytes SegmBody(const std::vector<Xp3Segment>& segments) {
  ByteWriter w;
  for (const Xp3Segment& s : segments) {
    w.U32(s.flags).U64(s.offset).U64(s.unpacked_size).U64(s.packed_size);
  }
  return w.bytes();
}

Bytes AdlrBody(uint32_t checksum) {
  ByteWriter w;
  w.U32(checksum);
  return w.bytes();
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes ZlibCompress(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 6) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

Bytes ZstdCompress(const Bytes& data) {
  Bytes out(ZSTD_compressBound(data.size()));
  const size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  if (ZSTD_isError(size)) throw std::runtime_error("ZSTD_compress failed");
  out.resize(size);
  return out;
}

Bytes PatternData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    const uint8_t value = static_cast<uint8_t>(rng());
    const size_t run = rng() % 2 == 0 ? 1 + rng() % 40 : 1;
    for (size_t i = 0; i < run && out.size() < size; ++i) out.push_back(value);
  }
  return out;
}

ArchiveBuilder::ArchiveBuilder() = default;
ArchiveBuilder::ArchiveBuilder(const Header& header) : header_(header) {}

size_t ArchiveBuilder::HeaderSize() const {
  return header_.extended ? 40 + static_cast<size_t>(header_.skip) : 19;
}

uint64_t ArchiveBuilder::AddData(const Bytes& data) {
  const uint64_t offset = HeaderSize() + data_.size();
  data_.insert(data_.end(), data.begin(), data.end());
  return offset;
}

void ArchiveBuilder::AddEntry(const std::u16string& name, const Bytes& content,
                              const std::vector<SegmentPlan>& plan) {
  std::vector<Xp3Segment> segments;
  size_t used = 0;
  uint64_t packed_total = 0;
  for (const SegmentPlan& p : plan) {
    const Bytes part(content.begin() + used, content.begin() + used + p.size);
    used += p.size;
    Bytes stored = p.kind == SegmentKind::kZlib   ? ZlibCompress(part)
                   : p.kind == SegmentKind::kZstd ? ZstdCompress(part)
                                                  : part;
    Xp3Segment s;
    s.flags = p.kind == SegmentKind::kStored ? 0 : 1;
    s.offset = AddData(stored);
    s.unpacked_size = part.size();
    s.packed_size = stored.size();
    packed_total += stored.size();
    segments.push_back(s);
  }
  if (used != content.size()) throw std::invalid_argument("segment plan must cover the content");
  AddIndexChunk(Chunk(
      "File", Concat({Chunk("info", InfoBody(0, content.size(), packed_total, name)),
                      Chunk("segm", SegmBody(segments)), Chunk("adlr", AdlrBody(0x12345678))})));
}

Bytes ArchiveBuilder::HeaderBytes(uint64_t index_offset) const {
  ByteWriter w;
  w.Raw(Bytes{0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20, 0x0A, 0x1A, 0x8B, 0x67, 0x01});
  if (!header_.extended) {
    w.U64(index_offset);
    return w.bytes();
  }
  w.U64(23).U32(header_.version).U8(header_.continue_flag).U64(header_.skip);
  w.Raw(Bytes(header_.skip, 0xEE));
  w.U64(index_offset);
  return w.bytes();
}

Bytes ArchiveBuilder::Build(IndexCoding coding, uint64_t unpacked_size_override) const {
  const uint64_t index_offset = HeaderSize() + data_.size();
  ByteWriter w;
  w.Raw(HeaderBytes(index_offset)).Raw(data_);
  const Bytes& index = index_.bytes();
  if (coding == IndexCoding::kStored) {
    w.U8(0).U64(index.size()).Raw(index);
  } else {
    const Bytes packed = coding == IndexCoding::kZlib ? ZlibCompress(index) : ZstdCompress(index);
    const uint64_t unpacked =
        unpacked_size_override != ~0ull ? unpacked_size_override : index.size();
    w.U8(1).U64(packed.size()).U64(unpacked).Raw(packed);
  }
  return w.bytes();
}

namespace {

std::filesystem::path PathOf(const std::u16string& path) { return std::filesystem::path(path); }

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace

TempFile::TempFile(const Bytes& contents, const std::string& suffix) {
  static std::atomic<unsigned> counter{0};
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("archive_test_" + std::to_string(ticks) + "_" + std::to_string(counter++) + suffix);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(contents.data()),
            static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write temporary file");
  path_ = Utf8Of(path);
}

TempFile::~TempFile() {
  std::error_code ignored;
  std::u8string name(path_.begin(), path_.end());
  std::filesystem::remove(std::filesystem::path(name), ignored);
}

bool WriteFileW(const std::u16string& path, const std::string& contents) {
  std::ofstream out(PathOf(path), std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
}

bool RemoveFileW(const std::u16string& path) {
  std::error_code ignored;
  return std::filesystem::remove(PathOf(path), ignored);
}

std::u16string TempDirW() { return (std::filesystem::temp_directory_path() / "").u16string(); }

Bytes CorruptZlib(const Bytes& packed) {
  Bytes out = packed;
  for (size_t i = out.size() / 2; i < out.size() / 2 + 16 && i < out.size(); ++i) out[i] ^= 0x3C;
  return out;
}

Bytes CorruptZstd(const Bytes& packed) {
  Bytes out = packed;
  const uint8_t descriptor = out[4];
  const bool single_segment = (descriptor >> 5) & 1;
  const size_t dict_id_sizes[] = {0, 1, 2, 4};
  const size_t content_size_sizes[] = {single_segment ? 1u : 0u, 2, 4, 8};
  size_t at = 5 + (single_segment ? 0 : 1) + dict_id_sizes[descriptor & 3] +
              content_size_sizes[descriptor >> 6];
  for (int block = 0; block < 2; ++block) {
    const uint32_t header = out[at] | (out[at + 1] << 8) | (out[at + 2] << 16);
    const uint32_t type = (header >> 1) & 3;
    at += 3 + (type == 1 ? 1 : header >> 3);  // an RLE block carries one byte
  }
  out[at] |= 0x06;
  return out;
}
