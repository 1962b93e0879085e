// Path keys: the names under which the overlay stores archive entries and
// memory files, and under which a path given by the game is looked up.
//
// A key is UTF-8, backslash-separated, relative to the game directory
// (BaseDirectory), case preserved. Lookups fold ASCII letters only: the hash
// is 32-bit FNV-1a over the folded bytes, equality compares folded bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Turns a path from the game into its key: UTF-8 conversion, slashes made
// backslashes, a drive-absolute path made relative to `base_directory`.
// Returns false (no key) when the path is not valid UTF-16.
bool MakePathKey(const WideString& path, const std::string& base_directory, std::string* key);

// The same derivation for the file functions' hot path: every CreateFileW and
// GetFileAttributesW of the game derives a key, so the key is built in this
// object's own storage, without touching the heap for paths of ordinary
// length. The key stays valid until the next Make or the object's end.
class PathKeyBuilder {
 public:
  // False (no key) when `path` (zero-terminated) is not valid UTF-16.
  bool Make(const WCHAR* path, std::string_view base_directory);
  std::string_view key() const { return key_; }

 private:
  // Where the relative form of a drive-absolute path is written.
  char* Reserve(size_t size);

  std::string_view key_;
  size_t converted_size_ = 0;
  char inline_[2048];
  std::string heap_;
  std::string relative_heap_;
};

std::uint32_t PathKeyHash(std::string_view key);
bool PathKeyEqual(std::string_view a, std::string_view b);

// Hasher and equality for the overlay's key tables; both accept any string
// form, so a table can be searched with a key that lives in a PathKeyBuilder.
struct PathKeyHasher {
  using is_transparent = void;
  size_t operator()(std::string_view key) const { return PathKeyHash(key); }
};
struct PathKeyEquals {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return PathKeyEqual(a, b); }
};
