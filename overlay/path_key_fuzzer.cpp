// Fuzz target: path keys and the strict text conversions, from arbitrary
// bytes read both as UTF-8 and as UTF-16.
//
// Invariants: a conversion either succeeds completely or leaves nothing; what
// converts one way converts back to the same text; a path key exists exactly
// when the path is valid UTF-16, and the heap-free builder agrees with the
// plain derivation; equal keys hash alike under ASCII case folding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "overlay/path_key.h"
#include "platform/text_conversion.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckUtf8(const std::string& bytes) {
  WideString wide;
  if (!FromUtf8(bytes, &wide)) {
    Require(wide.empty());
    return;
  }
  std::string back;
  Require(ToUtf8(wide, &back));
  Require(back == bytes);
}

void CheckWide(const WideString& wide, const std::string& base) {
  std::string utf8;
  const bool valid = ToUtf8(wide, &utf8);
  if (valid) {
    WideString back;
    Require(FromUtf8(utf8, &back));
    Require(back == wide);
  } else {
    Require(utf8.empty());
  }
  // Keys are made from zero-terminated paths: cut at the first zero.
  const WideString path(wide.c_str());
  std::string key;
  const bool made = MakePathKey(path, base, &key);
  PathKeyBuilder builder;
  Require(builder.Make(path.c_str(), base) == made);
  if (made) {
    Require(builder.key() == key);
    std::string upper(key);
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    Require(PathKeyEqual(key, upper));
    Require(PathKeyHash(key) == PathKeyHash(upper));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckUtf8(bytes);
  WideString wide;
  for (size_t i = 0; i + 1 < size; i += 2) {
    wide.push_back(static_cast<WCHAR>(data[i] | (data[i + 1] << 8)));
  }
  // Both a drive-absolute game directory and one at a drive root.
  CheckWide(wide, "C:\\Games\\Title");
  CheckWide(wide, "C:\\");
  return 0;
}
