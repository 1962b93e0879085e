#include "archive/xp3_archive.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <utility>

#include "archive/mem_read_stream.h"
#include "archive/read_stream_region.h"
#include "archive/report_error.h"
#include "archive/segment_decoder.h"
#include "archive/xp3_file.h"
#include "overlay/text_conversion.h"

namespace {

constexpr uint8_t kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20, 0x0A, 0x1A, 0x8B, 0x67, 0x01};
// The value at offset 11 that announces the extended header instead of
// giving the index offset.
constexpr uint64_t kExtendedHeader = 23;
constexpr uint8_t kIndexContinue = 0x80;
constexpr uint8_t kIndexStored = 0;
constexpr uint8_t kIndexCompressed = 1;
constexpr uint64_t kMaxOffset = std::numeric_limits<int64_t>::max();
// First allocation while decoding an index; it doubles from there.
constexpr size_t kFirstIndexBlock = 64 * 1024;

bool TagIs(const char (&tag)[4], const char* name) { return std::memcmp(tag, name, 4) == 0; }

// Bytes from the stream's position to its end, without moving it.
bool RemainingBytes(ReadStream* stream, uint64_t* remaining) {
  const int64_t here = stream->Tell();
  if (here < 0 || !stream->Seek(0, End)) return false;
  const int64_t end = stream->Tell();
  if (!stream->Seek(here, Begin) || end < 0) return false;
  *remaining = end > here ? static_cast<uint64_t>(end - here) : 0;
  return true;
}

uint64_t RemainingBytes(MemReadStream* stream) {
  const int64_t here = stream->Tell();
  return here < stream->size() ? stream->size() - static_cast<uint64_t>(here) : 0;
}

// Reads a body whose size comes from the file. The size is checked against
// the bytes that can still follow before anything is allocated, so a corrupt
// size fails here instead of asking for gigabytes.
bool ReadBody(ReadStream* stream, uint64_t size, uint64_t available, std::vector<uint8_t>* body) {
  if (size > available || size > std::numeric_limits<uint32_t>::max()) return false;
  body->resize(static_cast<size_t>(size));
  return stream->ReadExact(body->data(), static_cast<uint32_t>(size));
}

bool ParseInfo(ReadStream* info, Xp3Entry* entry) {
  uint32_t flags;
  uint64_t unpacked_size;
  uint64_t packed_size;
  uint16_t name_length;
  if (!info->ReadU32(&flags) || !info->ReadU64(&unpacked_size) || !info->ReadU64(&packed_size) ||
      !info->ReadU16(&name_length)) {
    return false;
  }
  std::vector<uint8_t> bytes(name_length * 2u);
  if (!info->ReadExact(bytes.data(), static_cast<uint32_t>(bytes.size()))) return false;
  WideString name(name_length, 0);
  for (size_t i = 0; i < name_length; ++i) {
    name[i] = static_cast<WCHAR>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  std::string key;
  if (!WideToMultiByte(name, CP_UTF8, WC_ERR_INVALID_CHARS, &key)) return false;
  entry->key = std::move(key);
  entry->flags = flags;
  entry->unpacked_size = unpacked_size;
  entry->packed_size = packed_size;
  return true;
}

bool ParseSegments(MemReadStream* segm, Xp3Entry* entry) {
  while (segm->Tell() < segm->size()) {
    Xp3Segment segment;
    if (!segm->ReadU32(&segment.flags) || !segm->ReadU64(&segment.offset) ||
        !segm->ReadU64(&segment.unpacked_size) || !segm->ReadU64(&segment.packed_size)) {
      return false;
    }
    entry->segments.push_back(segment);
  }
  return true;
}

bool DecodeExpected(ReadStream* decoder, std::vector<uint8_t>* out, uint32_t expected_size) {
  size_t arrived = 0;
  while (arrived < expected_size) {
    if (arrived == out->size()) {
      // Grow with what arrives: the announced size is only a claim.
      const size_t grow =
          std::min<size_t>(expected_size - arrived, std::max<size_t>(arrived, kFirstIndexBlock));
      out->resize(arrived + grow);
    }
    const uint32_t count =
        decoder->Read(out->data() + arrived, static_cast<uint32_t>(out->size() - arrived));
    if (count == 0) break;
    arrived += count;
  }
  out->resize(arrived);
  return arrived == expected_size && !decoder->HasError();
}

bool DecodeAll(ReadStream* decoder, std::vector<uint8_t>* out) {
  uint8_t scratch[8192];
  for (;;) {
    const uint32_t count = decoder->Read(scratch, sizeof scratch);
    if (count == 0) break;
    out->insert(out->end(), scratch, scratch + count);
  }
  return !decoder->HasError();
}

}  // namespace

bool DecompressToBuffer(ReadStream* region, std::vector<uint8_t>* out, uint32_t expected_size) {
  out->clear();
  std::unique_ptr<ReadStream> decoder(OpenSegmentDecoder(region));
  if (decoder == nullptr) return false;
  try {
    if (expected_size != 0) return DecodeExpected(decoder.get(), out, expected_size);
    return DecodeAll(decoder.get(), out);
  } catch (const std::exception&) {
    out->clear();
    return false;
  }
}

Xp3Archive::Xp3Archive(const std::string& utf8_path, bool locked) : locked_(locked) {
  try {
    file_ = std::make_unique<FileReadStream>(utf8_path);
    if (locked_) lock_ = std::make_shared<std::mutex>();
  } catch (const std::exception&) {
    // Without its lock a locked archive must not hand out streams: leave it
    // without a file, so that ParseIndex fails.
    file_.reset();
  }
}

Xp3Archive::~Xp3Archive() {
  if (file_ != nullptr) file_->Close();
}

bool Xp3Archive::ParseIndex() {
  entries_.clear();
  bool parsed;
  try {
    parsed = ParseIndexData();
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) entries_.clear();
  return parsed;
}

bool Xp3Archive::ParseIndexData() {
  if (file_ == nullptr) return false;
  FileReadStream* file = file_.get();

  uint8_t magic[sizeof kMagic];
  if (!file->ReadExact(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
    return false;
  }
  uint64_t index_offset;
  if (!file->ReadU64(&index_offset)) return false;
  if (index_offset == kExtendedHeader) {
    uint32_t version;
    uint8_t continue_flag;
    if (!file->ReadU32(&version) || !file->ReadU8(&continue_flag)) return false;
    header_version_ = version;
    if (continue_flag != kIndexContinue) {
      ReportError("Unsupported XP3 index format: %hhu is not continue flag.\n", continue_flag);
      return false;
    }
    uint64_t skip;
    if (!file->ReadU64(&skip)) return false;
    if (skip != 0 && (skip > kMaxOffset || !file->Seek(static_cast<int64_t>(skip), Current))) {
      return false;
    }
    if (!file->ReadU64(&index_offset)) return false;
  }
  if (index_offset > kMaxOffset || !file->Seek(static_cast<int64_t>(index_offset), Begin)) {
    return false;
  }

  uint8_t method;
  if (!file->ReadU8(&method)) return false;
  std::vector<uint8_t> index;
  if (method == kIndexStored) {
    uint64_t size;
    uint64_t available;
    if (!file->ReadU64(&size) || !RemainingBytes(file, &available)) return false;
    if (!ReadBody(file, size, available, &index)) return false;
  } else if (method == kIndexCompressed) {
    uint64_t packed_size;
    uint64_t unpacked_size;
    if (!file->ReadU64(&packed_size) || !file->ReadU64(&unpacked_size)) return false;
    const int64_t start = file->Tell();
    if (start < 0 || packed_size > kMaxOffset - static_cast<uint64_t>(start)) return false;
    auto* region =
        new (std::nothrow) ReadStreamRegion(file, start, start + static_cast<int64_t>(packed_size));
    if (region == nullptr) return false;
    if (!DecompressToBuffer(region, &index, static_cast<uint32_t>(unpacked_size))) return false;
  } else {
    ReportError("Unknown index encode method: %u\n", static_cast<unsigned>(method));
    return false;
  }

  MemReadStream stream(std::move(index));
  while (stream.Tell() < stream.size()) {
    char tag[4];
    uint64_t size;
    if (!stream.ReadExact(tag, sizeof tag) || !stream.ReadU64(&size)) return false;
    if (TagIs(tag, "File")) {
      std::vector<uint8_t> body;
      if (!ReadBody(&stream, size, RemainingBytes(&stream), &body)) return false;
      MemReadStream chunk(std::move(body));
      if (!ParseFileChunk(&chunk)) return false;
    } else {
      ReportError("Unknown chunk type: %.4s, chunk size: %llu\n", tag,
                  static_cast<unsigned long long>(size));
      if (!stream.Skip(size)) return false;
    }
  }
  return true;
}

bool Xp3Archive::ParseFileChunk(MemReadStream* chunk) {
  Xp3Entry entry;
  while (!chunk->IsEof()) {
    char tag[4];
    uint64_t size;
    if (!chunk->ReadExact(tag, sizeof tag) || !chunk->ReadU64(&size)) return false;
    std::vector<uint8_t> body;
    if (!ReadBody(chunk, size, RemainingBytes(chunk), &body)) return false;
    MemReadStream sub(std::move(body));
    if (TagIs(tag, "info")) {
      if (!ParseInfo(&sub, &entry)) return false;
    } else if (TagIs(tag, "segm")) {
      if (!ParseSegments(&sub, &entry)) return false;
    } else if (TagIs(tag, "adlr")) {
      if (!sub.ReadU32(&entry.checksum)) return false;
    }
  }
  entries_.push_back(std::move(entry));
  return true;
}

ReadStream* Xp3Archive::OpenEntry(Xp3Entry entry) {
  if (file_ == nullptr) return nullptr;
  try {
    return new Xp3File(std::move(entry), file_.get(), locked_ ? lock_ : nullptr);
  } catch (const std::exception&) {
    return nullptr;
  }
}
