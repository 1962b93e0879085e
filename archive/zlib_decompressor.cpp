#include "archive/zlib_decompressor.h"

#include <cstring>

namespace {

// The zlib release this layer is written against. The sanitizer build links
// the system's zlib instead, which must be given its own version string.
#ifdef _WIN32
constexpr char kZlibVersion[] = "1.3.1";
#else
constexpr char kZlibVersion[] = ZLIB_VERSION;
#endif

}  // namespace

int ZlibDecompressor::InitInflate(z_stream* stream) {
  return inflateInit_(stream, kZlibVersion, static_cast<int>(sizeof(z_stream)));
}

ZlibDecompressor::ZlibDecompressor(ReadStream* source) : source_(source) {
  std::memset(&stream_, 0, sizeof stream_);
  if (InitInflate(&stream_) != Z_OK) failed_ = true;
  if (source_ == nullptr) failed_ = true;
}

ZlibDecompressor::~ZlibDecompressor() {
  inflateEnd(&stream_);
  if (source_ != nullptr) {
    source_->Close();
    delete source_;
    source_ = nullptr;
  }
}

uint32_t ZlibDecompressor::Read(void* buffer, uint32_t size) {
  if (failed_ || finished_) return 0;
  if (buffer == nullptr || size == 0) return 0;
  stream_.next_out = static_cast<Bytef*>(buffer);
  stream_.avail_out = size;
  do {
    if (stream_.avail_in == 0) {
      const uint32_t count = source_->Read(input_, kInputSize);
      if (count == 0) {
        if (source_->HasError()) failed_ = true;
        break;
      }
      stream_.next_in = input_;
      stream_.avail_in = count;
    }
    const int result = inflate(&stream_, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      finished_ = true;
      break;
    }
    if (result != Z_OK) {
      failed_ = true;
      break;
    }
  } while (stream_.avail_out > 0);
  return size - stream_.avail_out;
}

bool ZlibDecompressor::IsSeekable() { return false; }

bool ZlibDecompressor::IsEof() { return finished_ || source_ == nullptr || source_->IsEof(); }

bool ZlibDecompressor::HasError() { return failed_ || (source_ != nullptr && source_->HasError()); }

bool ZlibDecompressor::Close() { return source_ == nullptr || source_->Close(); }
