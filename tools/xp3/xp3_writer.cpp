#include "tools/xp3/xp3_writer.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "platform/text_conversion.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

constexpr uint8_t kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20, 0x0A, 0x1A, 0x8B, 0x67, 0x01};
constexpr uint64_t kExtendedHeaderMarker = 23;
constexpr uint32_t kHeaderVersion = 1;
constexpr uint8_t kIndexContinue = 0x80;
constexpr uint32_t kSegmentCompressed = 1;

// Segments up to this size are compressed from one buffer; above it (and for
// unbounded segments) they are streamed so that memory stays bounded.
constexpr uint64_t kMaxBufferedSegment = uint64_t{64} << 20;
constexpr size_t kStreamChunk = size_t{1} << 20;
constexpr uint64_t kUnknownSize = std::numeric_limits<uint64_t>::max();

void PutU8(std::vector<uint8_t>* out, uint8_t v) { out->push_back(v); }
void PutU16(std::vector<uint8_t>* out, uint16_t v) {
  for (int i = 0; i < 2; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<uint8_t>* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutTag(std::vector<uint8_t>* out, const char* tag, uint64_t body_size) {
  out->insert(out->end(), tag, tag + 4);
  PutU64(out, body_size);
}

void SetError(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
}

// The one place where the archive file meets the platform: opening from a
// UTF-8 path and cutting off bytes left behind by a segment that was rewritten.
std::FILE* OpenForWriting(const std::string& utf8_path) {
#ifdef _WIN32
  WideString wide;
  if (!FromUtf8(utf8_path, &wide)) return nullptr;
  return _wfopen(wide.c_str(), L"wb");
#else
  return std::fopen(utf8_path.c_str(), "wb");
#endif
}

bool TruncateFile(std::FILE* file, uint64_t size) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  return _chsize_s(_fileno(file), static_cast<int64_t>(size)) == 0;
#else
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
#endif
}

int DefaultLevel(Xp3Compression method) {
  return method == Xp3Compression::kZlib ? Z_DEFAULT_COMPRESSION : ZSTD_CLEVEL_DEFAULT;
}

}  // namespace

uint32_t Adler32(const void* data, size_t size, uint32_t adler) {
  return static_cast<uint32_t>(adler32_z(adler, static_cast<const Bytef*>(data), size));
}

const char* CompressionName(Xp3Compression compression) {
  switch (compression) {
    case Xp3Compression::kNone:
      return "none";
    case Xp3Compression::kZlib:
      return "zlib";
    case Xp3Compression::kZstd:
      return "zstd";
  }
  return "?";
}

struct Xp3Writer::Segment {
  uint32_t flags = 0;
  uint64_t offset = 0;
  uint64_t unpacked_size = 0;
  uint64_t packed_size = 0;
};

// Where an entry's bytes come from. Take hands out up to `max` bytes that stay
// valid until the next call; fewer than asked means the input has ended.
class Xp3Writer::Source {
 public:
  virtual ~Source() = default;
  virtual bool Take(size_t max, const uint8_t** data, size_t* got, std::string* error) = 0;
  // Goes back `count` bytes so that a segment can be read again; false when
  // the input cannot do that.
  virtual bool Rewind(uint64_t count) = 0;
  virtual uint64_t Remaining() const { return kUnknownSize; }
};

class Xp3Writer::MemorySource : public Source {
 public:
  MemorySource(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  bool Take(size_t max, const uint8_t** data, size_t* got, std::string*) override {
    *got = std::min(max, size_ - position_);
    *data = data_ + position_;
    position_ += *got;
    return true;
  }
  bool Rewind(uint64_t count) override {
    if (count > position_) return false;
    position_ -= static_cast<size_t>(count);
    return true;
  }
  uint64_t Remaining() const override { return size_ - position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

class Xp3Writer::FileSource : public Source {
 public:
  FileSource(std::FILE* file, std::vector<uint8_t>* buffer) : file_(file), buffer_(buffer) {}
  bool Take(size_t max, const uint8_t** data, size_t* got, std::string* error) override {
    if (buffer_->size() < max) buffer_->resize(max);
    size_t filled = 0;
    while (filled < max) {
      size_t n = std::fread(buffer_->data() + filled, 1, max - filled, file_);
      filled += n;
      if (n == 0) break;
    }
    if (filled < max && std::ferror(file_)) {
      SetError(error, std::string("read error: ") + std::strerror(errno));
      return false;
    }
    *data = buffer_->data();
    *got = filled;
    return true;
  }
  bool Rewind(uint64_t count) override {
    if (count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    std::clearerr(file_);
    return _fseeki64(file_, -static_cast<int64_t>(count), SEEK_CUR) == 0;
  }

 private:
  std::FILE* file_;
  std::vector<uint8_t>* buffer_;
};

Xp3Writer::Xp3Writer(Xp3WriterOptions options) : options_(options) {}

Xp3Writer::~Xp3Writer() {
  if (file_ != nullptr) std::fclose(file_);
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_context_));
}

bool Xp3Writer::Fail(std::string* error, const std::string& message) {
  broken_ = true;
  SetError(error, message);
  return false;
}

bool Xp3Writer::Open(const std::string& utf8_path, std::string* error) {
  if (file_ != nullptr || broken_) return Fail(error, "the writer is already in use");
  if (options_.level != 0) {
    if (options_.compression == Xp3Compression::kZlib &&
        (options_.level < 1 || options_.level > 9)) {
      SetError(error, "zlib level must be between 1 and 9");
      return false;
    }
    if (options_.compression == Xp3Compression::kZstd &&
        (options_.level < ZSTD_minCLevel() || options_.level > ZSTD_maxCLevel())) {
      SetError(error, "zstd level must be between " + std::to_string(ZSTD_minCLevel()) + " and " +
                          std::to_string(ZSTD_maxCLevel()));
      return false;
    }
  }
  file_ = OpenForWriting(utf8_path);
  if (file_ == nullptr) {
    SetError(error, "cannot create " + utf8_path + ": " + std::strerror(errno));
    return false;
  }
  path_ = utf8_path;
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);

  // The header is written by Finish: until then the file holds zeros where
  // the magic goes, so that an archive left unfinished (a killed pack) is
  // never taken for one.
  header_.assign(kMagic, kMagic + sizeof(kMagic));
  if (options_.extended_header) {
    PutU64(&header_, kExtendedHeaderMarker);
    PutU32(&header_, kHeaderVersion);
    PutU8(&header_, kIndexContinue);
    PutU64(&header_, 0);  // nothing to skip before the index offset
  }
  const std::vector<uint8_t> placeholder(header_.size() + 8, 0);
  return WriteBytes(placeholder.data(), placeholder.size(), error);
}

bool Xp3Writer::WriteBytes(const void* data, size_t size, std::string* error) {
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    return Fail(error, "cannot write " + path_ + ": " + std::strerror(errno));
  }
  position_ += size;
  high_water_ = std::max(high_water_, position_);
  return true;
}

bool Xp3Writer::SeekOutput(uint64_t offset, std::string* error) {
  if (_fseeki64(file_, static_cast<int64_t>(offset), SEEK_SET) != 0) {
    return Fail(error, "cannot seek in " + path_);
  }
  position_ = offset;
  return true;
}

bool Xp3Writer::CompressBlock(Xp3Compression method, const uint8_t* data, size_t size,
                              std::vector<uint8_t>* out, std::string* error, bool checksum) {
  int level = (method == options_.compression && options_.level != 0) ? options_.level
                                                                      : DefaultLevel(method);
  if (method == Xp3Compression::kZlib) {
    uLongf packed = compressBound(static_cast<uLong>(size));
    out->resize(packed);
    if (compress2(out->data(), &packed, data, static_cast<uLong>(size), level) != Z_OK) {
      return Fail(error, "zlib compression failed");
    }
    out->resize(packed);
    return true;
  }
  if (zstd_context_ == nullptr) zstd_context_ = ZSTD_createCCtx();
  auto* context = static_cast<ZSTD_CCtx*>(zstd_context_);
  if (context == nullptr) return Fail(error, "out of memory for zstd");
  ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  if (checksum) ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  out->resize(ZSTD_compressBound(size));
  size_t packed = ZSTD_compress2(context, out->data(), out->size(), data, size);
  if (ZSTD_isError(packed)) {
    return Fail(error, std::string("zstd compression failed: ") + ZSTD_getErrorName(packed));
  }
  out->resize(packed);
  return true;
}

bool Xp3Writer::WriteBufferedSegment(const uint8_t* data, size_t size, Segment* segment,
                                     std::string* error) {
  segment->offset = position_;
  segment->unpacked_size = size;
  if (size != 0 && options_.compression != Xp3Compression::kNone) {
    if (!CompressBlock(options_.compression, data, size, &packed_, error)) return false;
    if (packed_.size() < size) {
      segment->flags = kSegmentCompressed;
      segment->packed_size = packed_.size();
      return WriteBytes(packed_.data(), packed_.size(), error);
    }
  }
  segment->flags = 0;
  segment->packed_size = size;
  return WriteBytes(data, size, error);
}

// Compresses (or copies) up to `limit` bytes of `source` straight into the
// archive, one chunk at a time. Sets `*at_end` once the input has ended.
bool Xp3Writer::WriteStreamedSegment(Source* source, uint64_t limit, uint32_t* adler,
                                     Segment* segment, bool* at_end, std::string* error) {
  *segment = Segment{0, position_, 0, 0};
  const uint8_t* data = nullptr;
  size_t got = 0;
  uint32_t segment_adler = 1;
  // Next chunk of this segment; got == 0 once the segment or the input is done.
  auto take = [&]() -> bool {
    uint64_t left = limit - segment->unpacked_size;
    size_t ask = static_cast<size_t>(std::min<uint64_t>(kStreamChunk, left));
    got = 0;
    if (*at_end || ask == 0) return true;
    if (!source->Take(ask, &data, &got, error)) return false;
    if (got < ask) *at_end = true;
    segment->unpacked_size += got;
    *adler = Adler32(data, got, *adler);
    segment_adler = Adler32(data, got, segment_adler);
    return true;
  };
  if (!take()) return false;
  if (got == 0) return true;

  const Xp3Compression method = options_.compression;
  if (method == Xp3Compression::kNone) {
    do {
      if (!WriteBytes(data, got, error)) return false;
      if (!take()) return false;
    } while (got != 0);
    segment->packed_size = segment->unpacked_size;
    return true;
  }

  const int level = options_.level != 0 ? options_.level : DefaultLevel(method);
  packed_.resize(kStreamChunk);
  const uint64_t start = position_;
  if (method == Xp3Compression::kZlib) {
    z_stream stream{};
    if (deflateInit(&stream, level) != Z_OK) return Fail(error, "zlib initialisation failed");
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok) {
      stream.next_in = const_cast<Bytef*>(data);
      stream.avail_in = static_cast<uInt>(got);
      int result = Z_OK;
      do {
        stream.next_out = packed_.data();
        stream.avail_out = static_cast<uInt>(packed_.size());
        result = deflate(&stream, flush);
        if (result == Z_STREAM_ERROR) {
          ok = Fail(error, "zlib compression failed");
          break;
        }
        if (!WriteBytes(packed_.data(), packed_.size() - stream.avail_out, error)) {
          ok = false;
          break;
        }
      } while (stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
      if (!ok || flush == Z_FINISH) break;
      if (!take()) {
        ok = false;
        break;
      }
      if (got == 0) flush = Z_FINISH;
    }
    deflateEnd(&stream);
    if (!ok) return false;
  } else {
    if (zstd_context_ == nullptr) zstd_context_ = ZSTD_createCCtx();
    auto* context = static_cast<ZSTD_CCtx*>(zstd_context_);
    if (context == nullptr) return Fail(error, "out of memory for zstd");
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    uint64_t remaining = source->Remaining();
    if (remaining != kUnknownSize) {
      ZSTD_CCtx_setPledgedSrcSize(context, std::min(remaining + got, limit));
    }
    ZSTD_EndDirective mode = ZSTD_e_continue;
    for (;;) {
      ZSTD_inBuffer in{data, got, 0};
      size_t pending = 0;
      do {
        ZSTD_outBuffer out{packed_.data(), packed_.size(), 0};
        pending = ZSTD_compressStream2(context, &out, &in, mode);
        if (ZSTD_isError(pending)) {
          return Fail(error, std::string("zstd compression failed: ") + ZSTD_getErrorName(pending));
        }
        if (!WriteBytes(packed_.data(), out.pos, error)) return false;
      } while (in.pos < in.size || (mode == ZSTD_e_end && pending != 0));
      if (mode == ZSTD_e_end) break;
      if (!take()) return false;
      if (got == 0) mode = ZSTD_e_end;
    }
  }
  segment->flags = kSegmentCompressed;
  segment->packed_size = position_ - start;
  if (segment->packed_size < segment->unpacked_size) return true;

  // Compression did not pay: store the segment instead, if the input can be
  // read again. Bytes of the compressed attempt past the stored copy are
  // overwritten by what follows or cut off by Finish.
  if (!source->Rewind(segment->unpacked_size)) return true;
  if (!SeekOutput(start, error)) return false;
  uint64_t left = segment->unpacked_size;
  uint32_t check = 1;
  while (left != 0) {
    size_t ask = static_cast<size_t>(std::min<uint64_t>(kStreamChunk, left));
    if (!source->Take(ask, &data, &got, error)) return false;
    if (got != ask) break;
    check = Adler32(data, got, check);
    if (!WriteBytes(data, got, error)) return false;
    left -= got;
  }
  if (left != 0 || check != segment_adler) {
    SetError(error, "the input changed while it was being read");
    return false;
  }
  segment->flags = 0;
  segment->packed_size = segment->unpacked_size;
  return true;
}

bool Xp3Writer::AddEntry(const std::string& utf8_name, const void* data, size_t size,
                         std::string* error) {
  if (data == nullptr && size != 0) {
    SetError(error, "no data for entry " + utf8_name);
    return false;
  }
  MemorySource source(data, size);
  return AddEntryFrom(utf8_name, &source, error);
}

bool Xp3Writer::AddEntryFromFile(const std::string& utf8_name, std::FILE* file,
                                 std::string* error) {
  if (file == nullptr) {
    SetError(error, "no file for entry " + utf8_name);
    return false;
  }
  FileSource source(file, &buffer_);
  return AddEntryFrom(utf8_name, &source, error);
}

bool Xp3Writer::AddEntryFrom(const std::string& utf8_name, Source* source, std::string* error) {
  if (broken_ || file_ == nullptr) {
    SetError(error, broken_ ? "the archive is broken by an earlier error" : "no archive is open");
    return false;
  }
  WideString name;
  if (utf8_name.empty()) {
    SetError(error, "an entry name must not be empty");
    return false;
  }
  if (!FromUtf8(utf8_name, &name)) {
    SetError(error, "entry name is not valid UTF-8: " + utf8_name);
    return false;
  }
  if (name.size() > 0xFFFF) {
    SetError(error, "entry name is longer than 65535 UTF-16 units: " + utf8_name);
    return false;
  }

  const uint64_t entry_start = position_;
  const uint64_t limit = options_.segment_size;
  const bool buffered = limit != 0 && limit <= kMaxBufferedSegment;
  std::vector<Segment> segments;
  uint32_t adler = 1;
  uint64_t unpacked = 0;
  uint64_t packed = 0;
  bool at_end = false;
  std::string source_error;
  while (!at_end) {
    if (options_.cancel != nullptr && options_.cancel->load()) {
      source_error = "interrupted";
      break;
    }
    Segment segment;
    if (buffered) {
      const uint8_t* data = nullptr;
      size_t got = 0;
      if (!source->Take(static_cast<size_t>(limit), &data, &got, &source_error)) break;
      at_end = got < limit;
      if (got == 0 && !segments.empty()) break;
      adler = Adler32(data, got, adler);
      if (!WriteBufferedSegment(data, got, &segment, error)) return false;
    } else {
      const bool was_broken = broken_;
      if (!WriteStreamedSegment(source, limit == 0 ? kUnknownSize : limit, &adler, &segment,
                                &at_end, &source_error)) {
        if (broken_ && !was_broken) {
          SetError(error, source_error);
          return false;
        }
        break;
      }
      if (segment.unpacked_size == 0 && !segments.empty()) break;
    }
    segments.push_back(segment);
    unpacked += segment.unpacked_size;
    packed += segment.packed_size;
    if (options_.on_segment) options_.on_segment(segment.unpacked_size);
  }
  if (!source_error.empty()) {
    // The input failed: forget this entry's bytes; the next entry overwrites them.
    if (!SeekOutput(entry_start, error)) return false;
    SetError(error, utf8_name + ": " + source_error);
    return false;
  }

  std::vector<uint8_t>& index = index_;
  const uint64_t info_size = 4 + 8 + 8 + 2 + 2 * name.size();
  const uint64_t segm_size = 28 * segments.size();
  PutTag(&index, "File", (12 + info_size) + (12 + segm_size) + (12 + 4));
  PutTag(&index, "info", info_size);
  PutU32(&index, 0);  // entry flags: nothing special
  PutU64(&index, unpacked);
  PutU64(&index, packed);
  PutU16(&index, static_cast<uint16_t>(name.size()));
  for (WCHAR unit : name) PutU16(&index, static_cast<uint16_t>(unit));
  PutTag(&index, "segm", segm_size);
  for (const Segment& segment : segments) {
    PutU32(&index, segment.flags);
    PutU64(&index, segment.offset);
    PutU64(&index, segment.unpacked_size);
    PutU64(&index, segment.packed_size);
  }
  PutTag(&index, "adlr", 4);
  PutU32(&index, adler);

  ++entry_count_;
  unpacked_bytes_ += unpacked;
  packed_bytes_ += packed;
  for (const Segment& segment : segments) {
    if (segment.flags == kSegmentCompressed) {
      ++totals_.compressed_segments;
      totals_.compressed_unpacked_bytes += segment.unpacked_size;
      totals_.compressed_packed_bytes += segment.packed_size;
    } else {
      ++totals_.stored_segments;
      totals_.stored_bytes += segment.unpacked_size;
    }
  }
  return true;
}

bool Xp3Writer::Finish(std::string* error) {
  if (broken_ || file_ == nullptr) {
    SetError(error, broken_ ? "the archive is broken by an earlier error" : "no archive is open");
    return false;
  }
  std::vector<uint8_t> block;
  const uint64_t index_offset = position_;
  if (options_.index_compression == Xp3Compression::kNone) {
    PutU8(&block, 0);
    PutU64(&block, index_.size());
    if (!WriteBytes(block.data(), block.size(), error)) return false;
    if (!WriteBytes(index_.data(), index_.size(), error)) return false;
  } else {
    // The index carries a checksum in either format (zlib streams always do),
    // so that a damaged index is told apart from a different one.
    if (!CompressBlock(options_.index_compression, index_.data(), index_.size(), &packed_, error,
                       true)) {
      return false;
    }
    PutU8(&block, 1);
    PutU64(&block, packed_.size());
    PutU64(&block, index_.size());
    if (!WriteBytes(block.data(), block.size(), error)) return false;
    if (!WriteBytes(packed_.data(), packed_.size(), error)) return false;
  }
  if (high_water_ > position_ && !TruncateFile(file_, position_)) {
    return Fail(error, "cannot truncate " + path_);
  }
  PutU64(&header_, index_offset);
  if (!SeekOutput(0, error)) return false;
  if (!WriteBytes(header_.data(), header_.size(), error)) return false;
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  ok = (std::fclose(file_) == 0) && ok;
  file_ = nullptr;
  if (!ok) return Fail(error, "cannot write " + path_ + ": " + std::strerror(errno));
  return true;
}
