// Fuzz target: path keys and the strict text conversions, from arbitrary
// bytes read both as UTF-8 and as UTF-16.
//
// Invariants: a conversion either succeeds completely or leaves nothing; what
// converts one way converts back to the same text; a path key exists exactly
// when the path is valid UTF-16, is valid UTF-8 and has no slashes, and the
// heap-free builder agrees with the plain derivation; equal keys hash alike
// under ASCII case folding; a plain relative name under the game directory
// (of any spelling of the directory's case and separators) has the key of
// the name itself. The path strings split, join and take names apart
// without losing or inventing bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "overlay/path_key.h"
#include "overlay/path_strings.h"
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
    Require(key.find('/') == std::string::npos);
    WideString back;
    Require(FromUtf8(key, &back));
  }
}

// A plain relative name (components of letters and digits) made from the
// input, and the same name spelled out under the game directory.
void CheckNameUnderBase(const uint8_t* data, size_t size, const std::string& base) {
  static const char kAlphabet[] = "abcXYZ019_";
  std::string name;
  for (size_t i = 0; i < size && name.size() < 200; ++i) {
    const uint8_t b = data[i];
    if (b % 7 == 0 && !name.empty() && name.back() != '\\' && name.back() != '/') {
      name.push_back(b % 2 == 0 ? '\\' : '/');
    } else {
      name.push_back(kAlphabet[b % (sizeof kAlphabet - 1)]);
    }
  }
  if (name.empty() || name.back() == '\\' || name.back() == '/') name.push_back('x');
  std::string expected = ReplaceAll(name, "/", "\\");
  WideString wide_name;
  Require(FromUtf8(name, &wide_name));
  std::string key;
  Require(MakePathKey(wide_name, base, &key));
  Require(key == expected);
  // The base as the game may spell it: other case, forward slashes.
  std::string spelled = ReplaceAll(base, "\\", "/");
  for (char& c : spelled) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  WideString full;
  Require(FromUtf8(JoinPath(spelled, name), &full));
  Require(MakePathKey(full, base, &key));
  Require(key == expected);
}

void CheckPathStrings(const std::string& text) {
  for (const char* separator : {"\\", "/", "ab"}) {
    const std::vector<std::string> pieces = SplitString(text, separator);
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) joined += (i == 0 ? "" : separator) + pieces[i];
    Require(joined == text);
  }
  const std::string name = FileNameOf(text);
  Require(name.find('\\') == std::string::npos && name.find('/') == std::string::npos);
  if (text.find("://") == std::string::npos) {
    Require(text.size() >= name.size() &&
            text.compare(text.size() - name.size(), name.size(), name) == 0);
    const std::string directory = DirectoryOf(text);
    if (directory.size() != text.size() - name.size() - 1)
      Require(directory.empty() && name == text);
  }
  const std::string lower = LowerAscii(text);
  Require(lower.size() == text.size() && PathKeyEqual(lower, text));
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
  CheckPathStrings(bytes);
  CheckNameUnderBase(data, size, "C:\\Games\\Title");
  CheckNameUnderBase(data, size, "D:\\x");
  return 0;
}
