#include "overlay/path_key.h"

#include <cstring>

#include "overlay/path_strings.h"
#include "platform/text_conversion.h"

namespace {

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool DriveAbsolute(std::string_view s) {
  const unsigned char first = static_cast<unsigned char>(s.size() >= 3 ? s[0] : 0);
  return s.size() >= 3 && ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') && s[1] == ':' &&
         IsSeparator(s[2]);
}

// The next non-empty component of `s` at or after `*at`, as relative paths
// see components (either separator, empty ones dropped).
bool NextPiece(std::string_view s, size_t* at, std::string_view* piece) {
  size_t i = *at;
  while (i < s.size() && IsSeparator(s[i])) ++i;
  if (i == s.size()) return false;
  size_t end = i;
  while (end < s.size() && !IsSeparator(s[end])) ++end;
  *piece = s.substr(i, end - i);
  *at = end;
  return true;
}

// Strict UTF-16 to UTF-8 with every slash written as a backslash: the
// system's conversion with the invalid-character flag gives the same bytes
// and refuses the same input (an unpaired surrogate), but costs a good part
// of every redirected path call; `out` has room for three bytes per unit.
bool EncodeUtf8(const WCHAR* in, size_t units, char* out, size_t* size) {
  size_t n = 0;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = static_cast<uint16_t>(in[i]);
    if (c < 0x80) {
      out[n++] = c == '/' ? '\\' : static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      const uint32_t low = i + 1 < units ? static_cast<uint16_t>(in[i + 1]) : 0;
      if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (c < 0x800) {
      out[n++] = static_cast<char>(0xC0 | c >> 6);
    } else if (c < 0x10000) {
      out[n++] = static_cast<char>(0xE0 | c >> 12);
      out[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    } else {
      out[n++] = static_cast<char>(0xF0 | c >> 18);
      out[n++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    }
    out[n++] = static_cast<char>(0x80 | (c & 0x3F));
  }
  *size = n;
  return true;
}

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool MakePathKey(const WideString& path, const std::string& base_directory, std::string* key) {
  PathKeyBuilder builder;
  if (!builder.Make(path.c_str(), base_directory)) {
    key->clear();
    return false;
  }
  key->assign(builder.key());
  return true;
}

char* PathKeyBuilder::Reserve(size_t size) {
  if (converted_size_ + size <= sizeof inline_) return inline_ + converted_size_;
  relative_heap_.resize(size);
  return relative_heap_.data();
}

bool PathKeyBuilder::Make(const WCHAR* path, std::string_view base) {
  key_ = std::string_view();
  // A UTF-16 unit never takes more than three UTF-8 bytes, so a buffer of
  // three bytes per unit always has room.
  size_t units = 0;
  while (path[units] != 0) ++units;
  char* text = inline_;
  size_t capacity = sizeof inline_;
  if (units * 3 > capacity) {
    heap_.resize(units * 3);
    text = heap_.data();
    capacity = heap_.size();
  }
  size_t size = 0;
  if (!EncodeUtf8(path, units, text, &size)) return false;
  const std::string_view converted(text, size);
  converted_size_ = text == inline_ ? size : 0;
  if (!DriveAbsolute(converted)) {
    key_ = converted;
    return true;
  }
  if (!DriveAbsolute(base)) {
    // Rare (a game started from a share): the general rule decides.
    relative_heap_ = RelativePath(std::string(converted), std::string(base));
    key_ = relative_heap_;
    return true;
  }
  // Both drive-absolute: on another drive the path stays as it is; on the
  // same drive it is the components after the common ones (ASCII case
  // ignored), preceded by ".." for each component of the base left over.
  if (Fold(static_cast<unsigned char>(converted[0])) != Fold(static_cast<unsigned char>(base[0]))) {
    key_ = converted;
    return true;
  }
  size_t at_path = 0;
  size_t at_base = 0;
  std::string_view path_piece;
  std::string_view base_piece;
  bool have_path = NextPiece(converted, &at_path, &path_piece);
  bool have_base = NextPiece(base, &at_base, &base_piece);
  while (have_path && have_base && EqualFolded(path_piece, base_piece)) {
    have_path = NextPiece(converted, &at_path, &path_piece);
    have_base = NextPiece(base, &at_base, &base_piece);
  }
  // What is left of the base is at most its own length in "..\" pieces.
  char* out = Reserve(base.size() * 2 + 3 + size);
  size_t length = 0;
  auto append = [&](std::string_view piece) {
    if (length != 0) out[length++] = '\\';
    std::memcpy(out + length, piece.data(), piece.size());
    length += piece.size();
  };
  while (have_base) {
    append("..");
    have_base = NextPiece(base, &at_base, &base_piece);
  }
  while (have_path) {
    append(path_piece);
    have_path = NextPiece(converted, &at_path, &path_piece);
  }
  if (length == 0) append(".");
  key_ = std::string_view(out, length);
  return true;
}

std::uint32_t PathKeyHash(std::string_view key) {
  // Folding on the fly gives the same value as hashing a folded copy, without
  // allocating on every lookup.
  std::uint32_t h = 0x811C9DC5u;
  for (unsigned char c : key) {
    h ^= Fold(c);
    h *= 0x01000193u;
  }
  return h;
}

bool PathKeyEqual(std::string_view a, std::string_view b) { return EqualFolded(a, b); }
