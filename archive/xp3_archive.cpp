#include "archive/xp3_archive.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <utility>

#include "archive/read_stream_region.h"
#include "archive/report_error.h"
#include "archive/segment_cache.h"
#include "archive/segment_decoder.h"
#include "archive/xp3_file.h"
#include "platform/text_conversion.h"

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
// How far compressed bytes are trusted to expand: an announced size up to
// this many times the compressed size is allocated at once (one allocation,
// no copies while the index of a large archive is decoded); beyond it the
// buffer only grows with what arrives.
constexpr uint64_t kTrustedExpansion = 64;
// The most a compressed index may expand: deflate cannot exceed about 1032:1,
// and the same bound is applied to zstd, whose format could claim far more
// (an index of names and segment records compresses nowhere near that). An
// index that announces or decodes to more is corrupt, so the index buffer is
// bounded by the compressed bytes the file really holds times this factor.
constexpr uint64_t kMaxIndexExpansion = 1032;

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

// Reads a body whose size comes from the file. The size is checked against
// the bytes that can still follow before anything is allocated, so a corrupt
// size fails here instead of asking for gigabytes.
bool ReadBody(ReadStream* stream, uint64_t size, uint64_t available, std::vector<uint8_t>* body) {
  if (size > available || size > std::numeric_limits<uint32_t>::max()) return false;
  body->resize(static_cast<size_t>(size));
  return stream->ReadExact(body->data(), static_cast<uint32_t>(size));
}

// A bounds-checked view of decoded index bytes. The index is parsed in place:
// no chunk is copied out, and every read checks the bytes that are left, so a
// corrupt size fails the read instead of reaching past the end.
class IndexCursor {
 public:
  IndexCursor(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}

  size_t left() const { return static_cast<size_t>(end_ - at_); }
  bool empty() const { return at_ == end_; }

  bool Take(size_t count, const uint8_t** bytes) {
    if (count > left()) return false;
    *bytes = at_;
    at_ += count;
    return true;
  }
  bool Skip(uint64_t count) {
    if (count > left()) return false;
    at_ += static_cast<size_t>(count);
    return true;
  }
  // The next `size` bytes as a cursor of their own. Sizes beyond 4 GiB are
  // refused as the stream reader refused them.
  bool Split(uint64_t size, IndexCursor* part) {
    const uint8_t* bytes;
    if (size > std::numeric_limits<uint32_t>::max() || !Take(static_cast<size_t>(size), &bytes)) {
      return false;
    }
    *part = IndexCursor(bytes, static_cast<size_t>(size));
    return true;
  }
  bool Tag(char (&tag)[4]) {
    const uint8_t* bytes;
    if (!Take(4, &bytes)) return false;
    std::memcpy(tag, bytes, 4);
    return true;
  }
  template <typename T>
  bool Read(T* value) {
    const uint8_t* bytes;
    if (!Take(sizeof(T), &bytes)) return false;
    T result = 0;
    for (size_t i = sizeof(T); i-- > 0;) result = static_cast<T>((result << 8) | bytes[i]);
    *value = result;
    return true;
  }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

// Chunk header: four-byte tag and little-endian 64-bit body size.
bool ReadChunkHeader(IndexCursor* cursor, char (&tag)[4], uint64_t* size) {
  return cursor->Tag(tag) && cursor->Read(size);
}

constexpr size_t kSegmentRecordSize = 4 + 8 + 8 + 8;
// Bytes of an "info" body before the name's length.
constexpr size_t kInfoFixedSize = 4 + 8 + 8;

// What a well-formed index will hold, so that the entry list's storage is
// allocated once at its final size. Stops quietly at the first damage; the
// real parse reports and fails there.
struct IndexCounts {
  size_t files = 0;
  size_t segments = 0;
  size_t name_units = 0;  // UTF-16 units: the UTF-8 size of ASCII names
};

IndexCounts CountIndex(IndexCursor cursor) {
  IndexCounts counts;
  char tag[4];
  uint64_t size;
  while (ReadChunkHeader(&cursor, tag, &size)) {
    if (!TagIs(tag, "File")) {
      if (!cursor.Skip(size)) break;
      continue;
    }
    IndexCursor chunk(nullptr, 0);
    if (!cursor.Split(size, &chunk)) break;
    ++counts.files;
    IndexCursor sub(nullptr, 0);
    while (ReadChunkHeader(&chunk, tag, &size) && chunk.Split(size, &sub)) {
      uint16_t units;
      if (TagIs(tag, "segm")) {
        counts.segments += sub.left() / kSegmentRecordSize;
      } else if (TagIs(tag, "info") && sub.Skip(kInfoFixedSize) && sub.Read(&units) &&
                 sub.left() >= units * size_t{2}) {
        // Only names whose bytes are there: the reservation stays within
        // the index's own size.
        counts.name_units += units;
      }
    }
  }
  return counts;
}

// UTF-16LE name -> UTF-8, appended to `*out`. Names without surrogate code
// units (nearly all) are encoded here; a name with any surrogate goes through
// the system conversion, which decides on pairs and rejects unpaired ones
// exactly as for every name before.
bool AppendNameAsUtf8(const uint8_t* bytes, size_t units, std::vector<char>* out) {
  size_t length = 0;
  for (size_t i = 0; i < units; ++i) {
    const unsigned unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (unit < 0x80) {
      length += 1;
    } else if (unit < 0x800) {
      length += 2;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      WideString name(units, 0);
      for (size_t k = 0; k < units; ++k) {
        name[k] = static_cast<WCHAR>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
      }
      std::string utf8;
      if (!WideToMultiByte(name, CP_UTF8, WC_ERR_INVALID_CHARS, &utf8)) return false;
      out->insert(out->end(), utf8.begin(), utf8.end());
      return true;
    } else {
      length += 3;
    }
  }
  const size_t start = out->size();
  out->resize(start + length);
  char* o = out->data() + start;
  for (size_t i = 0; i < units; ++i) {
    const unsigned unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (unit < 0x80) {
      *o++ = static_cast<char>(unit);
    } else if (unit < 0x800) {
      *o++ = static_cast<char>(0xC0 | (unit >> 6));
      *o++ = static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (unit >> 12));
      *o++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return true;
}

bool DecodeExpected(ReadStream* decoder, std::vector<uint8_t>* out, uint32_t expected_size,
                    uint64_t packed_size) {
  const size_t trusted = static_cast<size_t>(std::min<uint64_t>(
      std::min<uint64_t>(packed_size, std::numeric_limits<uint32_t>::max()) * kTrustedExpansion,
      expected_size));
  size_t arrived = 0;
  while (arrived < expected_size) {
    if (arrived == out->size()) {
      // Grow with what arrives: the announced size is only a claim.
      const size_t grow =
          std::min<size_t>(expected_size - arrived, std::max({arrived, kFirstIndexBlock, trusted}));
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

bool DecodeAll(ReadStream* decoder, std::vector<uint8_t>* out, uint64_t limit) {
  uint8_t scratch[8192];
  for (;;) {
    const uint32_t count = decoder->Read(scratch, sizeof scratch);
    if (count == 0) break;
    if (count > limit - out->size()) return false;
    out->insert(out->end(), scratch, scratch + count);
  }
  return !decoder->HasError();
}

}  // namespace

bool DecompressToBuffer(ReadStream* region, std::vector<uint8_t>* out, uint32_t expected_size) {
  out->clear();
  uint64_t packed_size = 0;
  if (region == nullptr || !RemainingBytes(region, &packed_size)) packed_size = 0;
  const uint64_t limit =
      packed_size > UINT64_MAX / kMaxIndexExpansion ? UINT64_MAX : packed_size * kMaxIndexExpansion;
  if (expected_size > limit) {
    // Refused before anything is allocated or decoded.
    if (region != nullptr) region->Close();
    delete region;
    return false;
  }
  // The data may decode to more than expected (only the expected bytes are
  // taken), so the decoder is bounded by the limit rather than by them.
  std::unique_ptr<ReadStream> decoder(OpenSegmentDecoder(region, limit));
  if (decoder == nullptr) return false;
  try {
    if (expected_size != 0) return DecodeExpected(decoder.get(), out, expected_size, packed_size);
    return DecodeAll(decoder.get(), out, limit);
  } catch (const std::exception&) {
    out->clear();
    return false;
  }
}

Xp3Archive::Xp3Archive(const std::string& utf8_path, bool locked)
    : id_(SegmentCache::NewArchiveId()), locked_(locked) {
  try {
    file_ = std::make_unique<FileReadStream>(utf8_path);
  } catch (const std::exception&) {
    file_.reset();  // ParseIndex then fails
  }
}

Xp3Archive::~Xp3Archive() {
  SegmentCache::Shared().DropArchive(id_);
  if (file_ != nullptr) file_->Close();
}

bool Xp3Archive::ParseIndex() {
  entries_.Clear();
  bool parsed;
  try {
    parsed = ParseIndexData();
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) entries_.Clear();
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
    uint64_t available;
    if (start < 0 || !RemainingBytes(file, &available)) return false;
    // The region ends where the file does, so that the bound on the decoded
    // size counts only compressed bytes that really exist.
    packed_size = std::min(packed_size, available);
    auto* region =
        new (std::nothrow) ReadStreamRegion(file, start, start + static_cast<int64_t>(packed_size));
    if (region == nullptr) return false;
    if (!DecompressToBuffer(region, &index, static_cast<uint32_t>(unpacked_size))) return false;
  } else {
    ReportError("Unknown index encode method: %u\n", static_cast<unsigned>(method));
    return false;
  }

  return ParseEntries(index);
}

bool Xp3Archive::ParseEntries(const std::vector<uint8_t>& index) {
  std::vector<EntryList::Record>& records = entries_.records_;
  std::vector<char>& names = entries_.names_;
  std::vector<Xp3Segment>& segments = entries_.segments_;
  IndexCursor cursor(index.data(), index.size());
  const IndexCounts counts = CountIndex(cursor);
  records.reserve(counts.files);
  segments.reserve(counts.segments);
  names.reserve(counts.name_units);

  // The entry's name replaces an earlier one of the same chunk, which is
  // always the last name in the buffer.
  auto parse_info = [&](IndexCursor info, EntryList::Record* record) {
    uint32_t flags;
    uint64_t unpacked_size;
    uint64_t packed_size;
    uint16_t name_length;
    const uint8_t* name;
    if (!info.Read(&flags) || !info.Read(&unpacked_size) || !info.Read(&packed_size) ||
        !info.Read(&name_length) || !info.Take(name_length * 2u, &name)) {
      return false;
    }
    names.resize(record->name_offset);
    if (!AppendNameAsUtf8(name, name_length, &names)) return false;
    if (names.size() > std::numeric_limits<uint32_t>::max()) return false;
    record->flags = flags;
    record->unpacked_size = unpacked_size;
    record->packed_size = packed_size;
    return true;
  };
  auto parse_segments = [&](IndexCursor segm) {
    while (!segm.empty()) {
      Xp3Segment segment;
      if (!segm.Read(&segment.flags) || !segm.Read(&segment.offset) ||
          !segm.Read(&segment.unpacked_size) || !segm.Read(&segment.packed_size)) {
        return false;
      }
      segments.push_back(segment);
    }
    return true;
  };
  // One "File" chunk: later "info" and "adlr" sub-chunks replace earlier
  // ones, "segm" sub-chunks add up, unknown sub-chunks are skipped quietly.
  auto parse_file = [&](IndexCursor chunk, EntryList::Record* record) {
    while (!chunk.empty()) {
      char tag[4];
      uint64_t size;
      IndexCursor sub(nullptr, 0);
      if (!ReadChunkHeader(&chunk, tag, &size) || !chunk.Split(size, &sub)) return false;
      if (TagIs(tag, "info")) {
        if (!parse_info(sub, record)) return false;
      } else if (TagIs(tag, "segm")) {
        if (!parse_segments(sub)) return false;
      } else if (TagIs(tag, "adlr")) {
        if (!sub.Read(&record->checksum)) return false;
      }
    }
    return true;
  };

  while (!cursor.empty()) {
    char tag[4];
    uint64_t size;
    if (!ReadChunkHeader(&cursor, tag, &size)) return false;
    if (TagIs(tag, "File")) {
      IndexCursor chunk(nullptr, 0);
      if (!cursor.Split(size, &chunk)) return false;
      EntryList::Record record;
      record.name_offset = static_cast<uint32_t>(names.size());
      record.first_segment = static_cast<uint32_t>(segments.size());
      if (!parse_file(chunk, &record)) return false;
      records.push_back(record);
    } else {
      ReportError("Unknown chunk type: %.4s, chunk size: %llu\n", tag,
                  static_cast<unsigned long long>(size));
      if (!cursor.Skip(size)) return false;
    }
  }
  // Names longer in UTF-8 than the estimate (non-ASCII) may leave the buffer
  // with much room to spare.
  if (names.capacity() - names.size() > names.size() / 4) names.shrink_to_fit();
  return true;
}

Xp3Entry Xp3Archive::EntryList::operator[](size_t index) const {
  const Record& r = records_[index];
  Xp3Entry entry;
  entry.key.assign(names_.data() + r.name_offset, NameEnd(index) - r.name_offset);
  entry.flags = r.flags;
  entry.unpacked_size = r.unpacked_size;
  entry.packed_size = r.packed_size;
  entry.checksum = r.checksum;
  entry.segments.assign(segments_.begin() + r.first_segment, segments_.begin() + SegmentEnd(index));
  return entry;
}

void Xp3Archive::ReplaceInKeys(char from, char to) {
  std::replace(entries_.names_.begin(), entries_.names_.end(), from, to);
}

void Xp3Archive::EntryList::Clear() {
  // Swapped out rather than cleared, so that a failed parse keeps no memory.
  std::vector<Record>().swap(records_);
  std::vector<char>().swap(names_);
  std::vector<Xp3Segment>().swap(segments_);
}

ReadStream* Xp3Archive::OpenEntry(Xp3Entry entry) {
  if (file_ == nullptr) return nullptr;
  try {
    return new Xp3File(std::move(entry), file_.get(), locked_, id_);
  } catch (const std::exception&) {
    return nullptr;
  }
}

ReadStream* Xp3Archive::OpenEntryAt(size_t index) {
  if (file_ == nullptr || index >= entries_.size()) return nullptr;
  try {
    return new Xp3File(entries_[index], file_.get(), locked_, id_);
  } catch (const std::exception&) {
    return nullptr;
  }
}
