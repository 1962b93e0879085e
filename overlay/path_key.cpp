#include "overlay/path_key.h"

#include "overlay/path_strings.h"
#include "overlay/text_conversion.h"

namespace {
inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
}  // namespace

bool MakePathKey(const WideString& path, const std::string& base_directory, std::string* key) {
  std::string utf8;
  if (!ToUtf8(path, &utf8)) {
    key->clear();
    return false;
  }
  utf8 = ReplaceAll(std::move(utf8), "/", "\\");
  if (IsDriveAbsolute(utf8)) utf8 = RelativePath(utf8, base_directory);
  *key = std::move(utf8);
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

bool PathKeyEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
