#include "tools/xp3/index_inspection.h"

#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/text_conversion.h"
#include "tools/xp3/tool_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20, 0x0A, 0x1A, 0x8B, 0x67, 0x01};
constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
// Index data larger than this is not decoded here (no archive comes near it).
constexpr uint64_t kMaxIndexBytes = uint64_t{1} << 31;

uint64_t Le(const uint8_t* p, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

std::string N(uint64_t value) { return std::to_string(value); }

std::string Tag(const uint8_t* p) {
  std::string tag;
  for (int i = 0; i < 4; ++i) {
    tag += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
  }
  return tag;
}

struct File {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> handle{nullptr, &std::fclose};
  uint64_t size = 0;
  bool Read(uint64_t offset, size_t count, Bytes* out) {
    out->assign(count, 0);
    return offset <= size && count <= size - offset &&
           _fseeki64(handle.get(), static_cast<int64_t>(offset), SEEK_SET) == 0 &&
           std::fread(out->data(), 1, count, handle.get()) == count;
  }
};

// Decodes one zlib stream: a wrong checksum and a stream cut before its
// checksum are told apart from other damage.
void InflateIndex(const Bytes& packed, Bytes* data, IndexInspection* result) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    result->problems.push_back("cannot start zlib to read the index");
    return;
  }
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  uint8_t chunk[1 << 16];
  int status = Z_OK;
  while (status == Z_OK && data->size() <= kMaxIndexBytes) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    data->insert(data->end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  if (status == Z_STREAM_END) {
    if (stream.avail_in != 0) {
      result->problems.push_back("the index block declares " + N(packed.size()) +
                                 " packed bytes, but the zlib stream ends after " +
                                 N(packed.size() - stream.avail_in));
    }
  } else if (status == Z_DATA_ERROR && stream.msg != nullptr &&
             std::strcmp(stream.msg, "incorrect data check") == 0) {
    result->problems.push_back(
        "the compressed index's checksum is wrong (the index data is damaged)");
  } else if (stream.avail_in == 0 && (status == Z_OK || status == Z_BUF_ERROR)) {
    result->problems.push_back(
        "the compressed index ends before its checksum (the stream is cut short)");
  } else {
    result->problems.push_back(std::string("the compressed index is damaged (zlib: ") +
                               (stream.msg != nullptr ? stream.msg : "error") + ")");
  }
  inflateEnd(&stream);
}

// Decodes one zstd frame; a frame without a content checksum is reported,
// as is one whose checksum is wrong.
void UnzstdIndex(const Bytes& packed, Bytes* data, IndexInspection* result) {
  if (packed.size() >= 5 && (packed[4] & 0x04) == 0) {
    result->problems.push_back("the compressed index has no checksum (zstd frame without one)");
  }
  ZSTD_DStream* stream = ZSTD_createDStream();
  if (stream == nullptr) {
    result->problems.push_back("cannot start zstd to read the index");
    return;
  }
  ZSTD_initDStream(stream);
  ZSTD_inBuffer in{packed.data(), packed.size(), 0};
  uint8_t chunk[1 << 16];
  size_t status = 1;
  while (status != 0 && data->size() <= kMaxIndexBytes) {
    ZSTD_outBuffer out{chunk, sizeof chunk, 0};
    status = ZSTD_decompressStream(stream, &out, &in);
    if (ZSTD_isError(status)) break;
    data->insert(data->end(), chunk, chunk + out.pos);
    if (out.pos == 0 && in.pos == in.size && status != 0) break;
  }
  if (ZSTD_isError(status)) {
    if (ZSTD_getErrorCode(status) == ZSTD_error_checksum_wrong) {
      result->problems.push_back(
          "the compressed index's checksum is wrong (the index data is damaged)");
    } else {
      result->problems.push_back(std::string("the compressed index is damaged (zstd: ") +
                                 ZSTD_getErrorName(status) + ")");
    }
  } else if (status != 0) {
    result->problems.push_back("the compressed index is cut short");
  } else if (in.pos != in.size) {
    result->problems.push_back("the index block declares " + N(packed.size()) +
                               " packed bytes, but the zstd frame ends after " + N(in.pos));
  }
  ZSTD_freeDStream(stream);
}

std::string NameOf(const uint8_t* units, size_t count) {
  WideString wide;
  for (size_t i = 0; i < count; ++i) wide += static_cast<WCHAR>(Le(units + 2 * i, 2));
  std::string utf8;
  if (!ToUtf8(wide, &utf8)) return "(a name that is not valid UTF-16)";
  return utf8;
}

// One "File" chunk: its sub-chunks fit, and the sizes it declares agree with
// its segments.
void InspectFileChunk(const uint8_t* body, uint64_t size, size_t number, uint64_t data_end,
                      IndexInspection* result) {
  std::string name = "entry " + N(number);
  bool has_info = false;
  uint64_t unpacked = 0, packed = 0, segment_unpacked = 0, segment_packed = 0;
  size_t segments = 0;
  std::vector<std::string> own;  // problems found before the name was known
  uint64_t at = 0;
  while (at < size) {
    if (size - at < 12) {
      own.push_back("its last sub-chunk header is cut short");
      break;
    }
    const std::string tag = Tag(body + at);
    const uint64_t length = Le(body + at + 4, 8);
    at += 12;
    if (length > size - at) {
      own.push_back("its \"" + tag + "\" sub-chunk declares " + N(length) + " bytes, " +
                    N(size - at) + " are left");
      break;
    }
    const uint8_t* p = body + at;
    if (tag == "info") {
      if (length < 22 || length < 22 + 2 * Le(p + 20, 2)) {
        own.push_back("its \"info\" sub-chunk is shorter than the name it declares");
      } else {
        has_info = true;
        unpacked = Le(p + 4, 8);
        packed = Le(p + 12, 8);
        name = NameOf(p + 22, static_cast<size_t>(Le(p + 20, 2)));
      }
    } else if (tag == "segm") {
      if (length % 28 != 0) own.push_back("its segment list is not a whole number of records");
      for (uint64_t r = 0; r + 28 <= length; r += 28) {
        const uint32_t flags = static_cast<uint32_t>(Le(p + r, 4));
        const uint64_t offset = Le(p + r + 4, 8);
        const uint64_t seg_unpacked = Le(p + r + 12, 8);
        const uint64_t seg_packed = Le(p + r + 20, 8);
        ++segments;
        segment_unpacked += seg_unpacked;
        segment_packed += seg_packed;
        if (flags != 1 && seg_packed != seg_unpacked) {
          own.push_back("stored segment " + N(segments) + " declares " + N(seg_unpacked) +
                        " bytes unpacked but " + N(seg_packed) + " packed");
        }
        if (offset > data_end || seg_packed > data_end - offset) {
          own.push_back("segment " + N(segments) + " lies outside the archive's data");
        }
      }
    }
    at += length;
  }
  if (!has_info) own.push_back("it has no \"info\" sub-chunk, so no name");
  if (has_info && segment_unpacked != unpacked) {
    own.push_back("it declares " + N(unpacked) + " bytes unpacked, its segments hold " +
                  N(segment_unpacked));
  }
  if (has_info && segment_packed != packed) {
    own.push_back("it declares " + N(packed) + " bytes packed, its segments hold " +
                  N(segment_packed));
  }
  for (const std::string& text : own)
    result->problems.push_back("index entry " + name + ": " + text);
}

void InspectIndexData(const Bytes& data, uint64_t data_end, IndexInspection* result) {
  uint64_t at = 0;
  size_t files = 0;
  while (at < data.size()) {
    if (data.size() - at < 12) {
      result->problems.push_back("the index ends inside a chunk header");
      return;
    }
    const std::string tag = Tag(data.data() + at);
    const uint64_t length = Le(data.data() + at + 4, 8);
    at += 12;
    if (length > data.size() - at) {
      result->problems.push_back("index chunk \"" + tag + "\" declares " + N(length) + " bytes, " +
                                 N(data.size() - at) + " are left");
      return;
    }
    if (tag == "File") {
      InspectFileChunk(data.data() + at, length, ++files, data_end, result);
    } else {
      result->warnings.push_back("the index holds a chunk of unknown kind \"" + tag + "\" (" +
                                 N(length) + " bytes), which the patch skips");
    }
    at += length;
  }
}

}  // namespace

IndexInspection InspectIndex(const std::filesystem::path& path) {
  IndexInspection result;
  File file;
  file.handle.reset(OpenFile(path, "rb"));
  if (!file.handle) {
    result.problems.push_back("cannot open the archive");
    return result;
  }
  std::error_code ec;
  file.size = std::filesystem::file_size(path, ec);
  Bytes bytes;
  if (!file.Read(0, 19, &bytes) || std::memcmp(bytes.data(), kMagic, 11) != 0) {
    result.problems.push_back("not an XP3 archive (wrong header)");
    return result;
  }
  uint64_t index_offset = Le(bytes.data() + 11, 8);
  if (index_offset == 23) {
    if (!file.Read(19, 13, &bytes) || bytes[4] != 0x80) {
      result.problems.push_back("the extended header is cut short or not of the kind read");
      return result;
    }
    const uint64_t skip = Le(bytes.data() + 5, 8);
    if (skip > file.size || !file.Read(32 + skip, 8, &bytes)) {
      result.problems.push_back("the extended header points past the end of the file");
      return result;
    }
    index_offset = Le(bytes.data(), 8);
  }
  if (!file.Read(index_offset, 9, &bytes)) {
    result.problems.push_back("the index offset " + N(index_offset) +
                              " lies past the end of the file (" + N(file.size) + " bytes)");
    return result;
  }
  const uint8_t method = bytes[0];
  const uint64_t declared = Le(bytes.data() + 1, 8);
  Bytes data;
  if (method == 0) {
    if (!file.Read(index_offset + 9, static_cast<size_t>(std::min(declared, file.size)), &data)) {
      result.problems.push_back("the index declares " + N(declared) +
                                " bytes, more than the file holds after it");
      return result;
    }
    if (index_offset + 9 + declared != file.size) {
      result.warnings.push_back(N(file.size - index_offset - 9 - declared) +
                                " bytes follow the index at the end of the file");
    }
  } else if (method == 1) {
    Bytes unpacked_field;
    if (!file.Read(index_offset + 9, 8, &unpacked_field)) {
      result.problems.push_back("the index block is cut short");
      return result;
    }
    const uint64_t unpacked = Le(unpacked_field.data(), 8);
    Bytes packed;
    if (declared > kMaxIndexBytes || !file.Read(index_offset + 17, declared, &packed)) {
      result.problems.push_back("the index block declares " + N(declared) +
                                " packed bytes, more than the file holds after it");
      return result;
    }
    if (packed.size() >= 4 && std::memcmp(packed.data(), kZstdMagic, 4) == 0) {
      UnzstdIndex(packed, &data, &result);
    } else {
      InflateIndex(packed, &data, &result);
    }
    // Sizes are compared only when the data could be decoded whole.
    if (result.problems.empty() && data.size() != unpacked) {
      result.problems.push_back("the index block declares " + N(unpacked) +
                                " bytes unpacked, its data holds " + N(data.size()));
    }
    if (!result.problems.empty()) return result;
  } else {
    result.problems.push_back("the index is encoded with method " + N(method) +
                              ", which the patch does not read");
    return result;
  }
  InspectIndexData(data, index_offset, &result);
  return result;
}
