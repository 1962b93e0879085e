#include "archive/segment_decoder.h"

#include <cstring>
#include <new>

#include "archive/zlib_decompressor.h"
#include "archive/zstd_decompressor.h"

namespace {

constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

ReadStream* Discard(ReadStream* source) {
  source->Close();
  delete source;
  return nullptr;
}

}  // namespace

ReadStream* OpenSegmentDecoder(ReadStream* source) {
  if (source == nullptr) return nullptr;
  if (!source->IsSeekable()) return Discard(source);
  uint8_t peek[4];
  const uint32_t count = source->Read(peek, sizeof peek);
  if (count == 0) return Discard(source);
  if (!source->Seek(-static_cast<int64_t>(count), Current)) return Discard(source);
  ReadStream* decoder;
  if (count == sizeof peek && std::memcmp(peek, kZstdMagic, sizeof peek) == 0) {
    decoder = new (std::nothrow) ZstdDecompressor(source);
  } else {
    decoder = new (std::nothrow) ZlibDecompressor(source);
  }
  if (decoder == nullptr) return Discard(source);
  return decoder;
}
