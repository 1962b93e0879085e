#include "archive/file_read_stream.h"

#include "archive/read_failure.h"
#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace {

// Opens the archive path for reading. The path is meant to be UTF-8 but may
// come from a source that used a legacy code page, so each page of the
// fallback order gets a chance, and finally the bytes themselves.
bool OpenWithFallbacks(const std::string& path, PositionedFile* file) {
  for (UINT code_page : kCodePageFallbackOrder) {
    WideString wide;
    if (!MultiByteToWide(path, code_page, MB_ERR_INVALID_CHARS, &wide)) continue;
    if (file->Open(wide)) return true;
  }
  return file->OpenBytes(path);
}

}  // namespace

FileReadStream::FileReadStream(const std::string& utf8_path) {
  if (!OpenWithFallbacks(utf8_path, &file_)) failed_ = true;
}

FileReadStream::~FileReadStream() { Close(); }

uint32_t FileReadStream::Read(void* buffer, uint32_t size) {
  if (!file_.IsOpen() || buffer == nullptr) return 0;
  const int64_t got = file_.ReadAt(buffer, size, position_);
  if (got < 0) {
    failed_ = true;
    return 0;
  }
  position_ += got;
  if (got < size) eof_ = true;
  return static_cast<uint32_t>(got);
}

bool FileReadStream::Seek(int64_t offset, SeekOrigin origin) {
  if (!file_.IsOpen()) return false;
  int64_t base;
  switch (origin) {
    case Begin:
      base = 0;
      break;
    case Current:
      base = position_;
      break;
    case End:
      base = file_.Size();
      if (base < 0) return false;
      break;
    default:
      return false;
  }
  // Positions before the start, or beyond what int64 holds, are refused;
  // positions past the end are allowed, as files allow them, and read as
  // the end.
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return false;
  position_ = base + offset;
  eof_ = false;
  return true;
}

int64_t FileReadStream::Tell() { return file_.IsOpen() ? position_ : -1; }

bool FileReadStream::IsSeekable() { return file_.IsOpen(); }

bool FileReadStream::IsEof() { return !file_.IsOpen() || eof_; }

bool FileReadStream::HasError() { return failed_; }

bool FileReadStream::Close() { return file_.Close(); }

uint32_t FileReadStream::ReadAt(void* buffer, uint32_t size, int64_t offset) {
  if (!file_.IsOpen() || buffer == nullptr) return 0;
  if (offset < 0) {
    // A reader that computed a negative offset is broken: that sticks.
    failed_ = true;
    return 0;
  }
  const int64_t got = file_.ReadAt(buffer, size, offset);
  if (got < 0) {
    // A failed system read fails this read only (read_failure.h): every
    // entry of the archive shares this stream, and the next read may well
    // succeed.
    NoteArchiveReadFailure(GetLastError());
    return 0;
  }
  return static_cast<uint32_t>(got);
}
