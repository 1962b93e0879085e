#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_WINDOWLOG_MAX, frame headers, a stable output buffer
#include "archive/fuzz_entry_model.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace fuzz {

namespace {

constexpr uint64_t kMaxOffset = std::numeric_limits<int64_t>::max();

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// A bounds-checked reader over bytes.
struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool Has(uint64_t n) const { return n <= size - at; }
  bool Take(int bytes, uint64_t* v) {
    if (!Has(static_cast<uint64_t>(bytes))) return false;
    *v = Le(data + at, bytes);
    at += static_cast<size_t>(bytes);
    return true;
  }
};

// Strict UTF-16LE to UTF-8: unpaired surrogates fail.
bool NameToUtf8(const uint8_t* p, size_t units, std::string* out) {
  out->clear();
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = static_cast<uint32_t>(Le(p + 2 * i, 2));
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == units) return false;
      const uint32_t low = static_cast<uint32_t>(Le(p + 2 * (i + 1), 2));
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool ParseFile(Cursor chunk, Xp3Entry* entry) {
  while (chunk.at < chunk.size) {
    uint64_t tag;
    uint64_t size;
    if (!chunk.Take(4, &tag) || !chunk.Take(8, &size) || !chunk.Has(size)) return false;
    Cursor body{chunk.data + chunk.at, static_cast<size_t>(size)};
    chunk.at += static_cast<size_t>(size);
    const char* t = reinterpret_cast<const char*>(body.data) - 12;
    uint64_t v;
    if (std::memcmp(t, "info", 4) == 0) {
      uint64_t flags;
      uint64_t unpacked;
      uint64_t packed;
      uint64_t length;
      if (!body.Take(4, &flags) || !body.Take(8, &unpacked) || !body.Take(8, &packed) ||
          !body.Take(2, &length) || !body.Has(length * 2) ||
          !NameToUtf8(body.data + body.at, static_cast<size_t>(length), &entry->key)) {
        return false;
      }
      entry->flags = static_cast<uint32_t>(flags);
      entry->unpacked_size = unpacked;
      entry->packed_size = packed;
    } else if (std::memcmp(t, "segm", 4) == 0) {
      while (body.at < body.size) {
        Xp3Segment s;
        uint64_t flags;
        if (!body.Take(4, &flags) || !body.Take(8, &s.offset) || !body.Take(8, &s.unpacked_size) ||
            !body.Take(8, &s.packed_size)) {
          return false;
        }
        s.flags = static_cast<uint32_t>(flags);
        entry->segments.push_back(s);
      }
    } else if (std::memcmp(t, "adlr", 4) == 0) {
      if (!body.Take(4, &v)) return false;
      entry->checksum = static_cast<uint32_t>(v);
    }
  }
  return true;
}

bool ParseChunks(const uint8_t* data, size_t size, std::vector<Xp3Entry>* entries) {
  Cursor index{data, size};
  while (index.at < index.size) {
    uint64_t tag;
    uint64_t body;
    if (!index.Take(4, &tag) || !index.Take(8, &body) || !index.Has(body)) return false;
    if (std::memcmp(data + index.at - 12, "File", 4) == 0) {
      Xp3Entry entry;
      if (!ParseFile(Cursor{data + index.at, static_cast<size_t>(body)}, &entry)) return false;
      entries->push_back(std::move(entry));
    }
    index.at += static_cast<size_t>(body);
  }
  return true;
}

// Hands the library the data one byte at a time. Given a whole frame of
// known size at once, it decodes the frame in one pass and, if the frame is
// damaged, delivers none of it; a decoder fed in pieces delivers every block
// before the damage. The reference is the most a sound stream may deliver, so
// it is always fed in pieces.
void FeedOneByte(ZSTD_inBuffer* in, size_t size) {
  if (in->pos == in->size && in->size < size) ++in->size;
}

}  // namespace

void DecodePrefix(const uint8_t* data, size_t size, uint64_t limit, std::vector<uint8_t>* out) {
  out->clear();
  std::vector<uint8_t> chunk(1 << 16);
  ZSTD_frameHeader header;
  // The library keeps no more window than the frame's content needs, when
  // the frame names its size.
  const auto window_needed = [&header] {
    return header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN
               ? header.windowSize
               : std::min<uint64_t>(header.windowSize, header.frameContentSize);
  };
  if (size >= 4 && Le(data, 4) == 0xFD2FB528u && ZSTD_getFrameHeader(&header, data, size) == 0 &&
      window_needed() > (uint64_t{1} << 27)) {
    // A frame that asks for a window beyond any segment's: decode straight
    // into the prefix (a stable output buffer needs no window of its own),
    // so that the reference itself stays within the harness's memory. (A
    // stable buffer must hold the frame's whole content, so a frame that
    // names a smaller content is decoded as any other, below.)
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX);
    ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1);
    // No archive layer accepts more than 1032 bytes out of each byte in, so
    // a longer prefix would never be compared.
    const size_t room =
        static_cast<size_t>(std::min<uint64_t>(limit, uint64_t{1032} * size + (1 << 16)));
    std::unique_ptr<uint8_t[]> whole(new uint8_t[room]);
    ZSTD_inBuffer in{data, 0, 0};
    ZSTD_outBuffer o{whole.get(), room, 0};
    for (;;) {
      FeedOneByte(&in, size);
      const size_t before = o.pos;
      const size_t r = ZSTD_decompressStream(dctx, &o, &in);
      if (ZSTD_isError(r) || r == 0 || o.pos == o.size || (in.pos == size && o.pos == before)) {
        break;
      }
    }
    out->assign(whole.get(), whole.get() + o.pos);
    ZSTD_freeDCtx(dctx);
  } else if (size >= 4 && Le(data, 4) == 0xFD2FB528u) {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX);
    ZSTD_inBuffer in{data, 0, 0};
    while (out->size() < limit) {
      FeedOneByte(&in, size);
      ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
      const size_t r = ZSTD_decompressStream(dctx, &o, &in);
      out->insert(out->end(), chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(o.pos));
      if (ZSTD_isError(r) || r == 0 || (o.pos == 0 && in.pos == size)) break;
    }
    ZSTD_freeDCtx(dctx);
  } else {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    while (out->size() < limit) {
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      const int r = inflate(&z, Z_NO_FLUSH);
      out->insert(out->end(), chunk.begin(), chunk.end() - z.avail_out);
      if (r != Z_OK) break;
    }
    inflateEnd(&z);
  }
  if (out->size() > limit) out->resize(static_cast<size_t>(limit));
}

namespace {
// What the driver was doing, printed with a failed check.
char g_context[200];
}  // namespace

void SetContext(const char* text) { std::snprintf(g_context, sizeof g_context, "%s", text); }

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "check failed: %s %s\n", what, g_context);
  std::abort();
}

ReferenceIndex ParseReferenceIndex(const uint8_t* file, size_t size) {
  static const uint8_t kMagic[11] = {0x58, 0x50, 0x33, 0x0D, 0x0A, 0x20,
                                     0x0A, 0x1A, 0x8B, 0x67, 0x01};
  ReferenceIndex ref;
  Cursor c{file, size};
  uint64_t offset;
  if (!c.Has(11) || std::memcmp(file, kMagic, 11) != 0) return ref;
  c.at = 11;
  if (!c.Take(8, &offset)) return ref;
  if (offset == 23) {
    uint64_t version;
    uint64_t flag;
    uint64_t skip;
    if (!c.Take(4, &version) || !c.Take(1, &flag) || flag != 0x80 || !c.Take(8, &skip) ||
        skip > kMaxOffset || !c.Has(skip)) {
      return ref;
    }
    c.at += static_cast<size_t>(skip);
    if (!c.Take(8, &offset)) return ref;
  }
  if (offset >= size) return ref;
  c.at = static_cast<size_t>(offset);
  uint64_t method;
  uint64_t first;
  if (!c.Take(1, &method) || !c.Take(8, &first)) return ref;
  if (method == 0) {
    if (!c.Has(first)) return ref;
    ref.ok = ParseChunks(file + c.at, static_cast<size_t>(first), &ref.entries);
    return ref;
  }
  if (method != 1) return ref;
  ref.exact = false;
  uint64_t unpacked;
  if (!c.Take(8, &unpacked)) return ref;
  const size_t packed = static_cast<size_t>(std::min<uint64_t>(first, size - c.at));
  const auto expected = static_cast<uint32_t>(unpacked);
  std::vector<uint8_t> index;
  DecodePrefix(file + c.at, packed, expected != 0 ? expected : uint64_t{64} << 20, &index);
  if (expected != 0 && index.size() < expected) return ref;
  ref.ok = ParseChunks(index.data(), index.size(), &ref.entries);
  return ref;
}

bool DecodeWhole(const uint8_t* data, size_t data_size, uint64_t size, std::vector<uint8_t>* out) {
  out->assign(static_cast<size_t>(size) + 1, 0);
  if (data_size >= 4 && Le(data, 4) == 0xFD2FB528u) {
    const size_t frame = ZSTD_findFrameCompressedSize(data, data_size);
    if (ZSTD_isError(frame)) return false;
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    const size_t got = ZSTD_decompressDCtx(dctx, out->data(), out->size(), data, frame);
    ZSTD_freeDCtx(dctx);
    if (ZSTD_isError(got) || got != size) return false;
  } else {
    uLongf got = static_cast<uLongf>(out->size());
    uLong used = static_cast<uLong>(data_size);
    if (uncompress2(out->data(), &got, data, &used) != Z_OK || got != size) return false;
  }
  out->resize(static_cast<size_t>(size));
  return true;
}

bool EntryModel::IsSound(uint64_t position, uint64_t count) const {
  for (const auto& [begin, end] : sound) {
    if (position >= begin && position < end) return count <= end - position;
  }
  return false;
}

bool EntryModel::AllSound() const {
  uint64_t covered = 0;
  for (const auto& [begin, end] : sound) covered += end - begin;
  return covered == size;
}

EntryModel ModelEntry(const Xp3Entry& entry, const uint8_t* file, size_t file_size,
                      uint64_t max_size) {
  EntryModel m;
  m.size = entry.unpacked_size;
  if (entry.unpacked_size > max_size) return m;
  m.modeled = true;
  // The layout must add up before any byte of it counts.
  uint64_t total = 0;
  for (const Xp3Segment& s : entry.segments) {
    const bool window_ok = s.offset <= kMaxOffset && s.packed_size <= kMaxOffset - s.offset;
    const bool stored_ok = s.flags == 1 || s.unpacked_size == 0 || s.packed_size == s.unpacked_size;
    if (!window_ok || !stored_ok || s.unpacked_size > entry.unpacked_size - total) return m;
    total += s.unpacked_size;
  }
  if (total != entry.unpacked_size) return m;
  m.content.assign(static_cast<size_t>(m.size), 0);
  std::vector<uint8_t> decoded;
  uint64_t start = 0;
  for (const Xp3Segment& s : entry.segments) {
    const uint64_t left = s.offset < file_size ? file_size - s.offset : 0;
    uint64_t have = 0;
    if (s.unpacked_size == 0) {
      // never read
    } else if (s.flags != 1) {
      // Stored bytes count as far as the file holds them.
      have = std::min(s.unpacked_size, left);
      std::memcpy(m.content.data() + start, file + s.offset, static_cast<size_t>(have));
    } else {
      // Packed bytes are read only as far as sound data can reach; the
      // segment counts whole or not at all.
      const uint64_t reach = std::min(s.packed_size, s.unpacked_size + s.unpacked_size / 64 + 4096);
      if (reach != 0 && reach <= left &&
          DecodeWhole(file + s.offset, static_cast<size_t>(reach), s.unpacked_size, &decoded)) {
        have = s.unpacked_size;
        std::memcpy(m.content.data() + start, decoded.data(), decoded.size());
      }
    }
    if (have != 0) m.sound.emplace_back(start, start + have);
    start += s.unpacked_size;
  }
  return m;
}

void DriveEntry(ReadStream* s, const EntryModel& m, const uint8_t* script, size_t script_size) {
  static uint8_t buf[1 << 17];
  static const uint32_t kSizes[] = {1, 2, 3, 7, 100, 4095, 4096, 4097, 65536, 1 << 17};
  uint64_t pos = 0;
  bool failed = false;
  Require(s->Tell() == 0, "a new stream starts at 0");

  auto read = [&](uint32_t want) -> uint32_t {
    const uint32_t got = s->Read(buf, want);
    std::snprintf(g_context, sizeof g_context, "(read of %u at %llu gave %u; entry size %llu)",
                  want, static_cast<unsigned long long>(pos), got,
                  static_cast<unsigned long long>(m.size));
    Require(got <= want, "no more than asked");
    Require(got <= m.size - std::min(pos, m.size), "never past the entry's size");
    if (got == 0) {
      if (pos < m.size) {
        Require(s->HasError(), "a read that stops before the end reports an error");
        if (m.modeled) Require(failed || !m.IsSound(pos, 1), "a read fails only where data is bad");
        failed = true;
      }
      return 0;
    }
    if (m.modeled) {
      Require(m.IsSound(pos, got), "bytes only from sound data");
      Require(std::memcmp(buf, m.content.data() + pos, got) == 0, "the entry's own bytes");
    }
    pos += got;
    Require(s->Tell() == static_cast<int64_t>(pos), "the position follows the bytes");
    // A read may deliver bytes and meet the damage behind them.
    if (s->HasError()) failed = true;
    return got;
  };
  auto seek = [&](int64_t offset, SeekOrigin origin) {
    const uint64_t base = origin == Begin ? 0 : origin == Current ? pos : m.size;
    const uint64_t target = base + static_cast<uint64_t>(offset);
    const bool allowed = target <= m.size && target <= kMaxOffset;
    Require(s->Seek(offset, origin) == allowed, "a seek succeeds exactly within the entry");
    if (allowed) pos = target;
    Require(s->Tell() == static_cast<int64_t>(pos), "Tell after a seek");
  };

  for (size_t i = 0; i + 2 < script_size && i < 3 * 64; i += 3) {
    const uint8_t op = script[i];
    const uint16_t arg = static_cast<uint16_t>(script[i + 1] | (script[i + 2] << 8));
    switch (op % 6) {
      case 0:
        if (m.modeled) read(kSizes[arg % 10]);
        break;
      case 1:
        if (m.modeled) read(arg + 1u);
        break;
      case 2:
        seek(m.size == 0 ? arg : static_cast<int64_t>(arg % (m.size + 2)), Begin);
        break;
      case 3:
        seek(static_cast<int16_t>(arg), Current);
        break;
      case 4:
        seek(-static_cast<int64_t>(arg % 300), End);
        break;
      case 5:
        Require(s->Close(), "Close of an entry stream succeeds");
        break;
    }
  }
  if (!m.modeled) return;
  seek(0, Begin);
  while (pos < m.size && read(sizeof buf) > 0) {
  }
  if (!failed && m.AllSound()) {
    Require(pos == m.size && !s->HasError(), "sound data reads to its end without an error");
  }
}

}  // namespace fuzz
