// Path keys: the names under which the overlay stores archive entries and
// memory files, and under which a path given by the game is looked up.
//
// A key is UTF-8, backslash-separated, relative to the game directory
// (BaseDirectory), case preserved. Lookups fold ASCII letters only: the hash
// is 32-bit FNV-1a over the folded bytes, equality compares folded bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "overlay/platform.h"

// Turns a path from the game into its key: UTF-8 conversion, slashes made
// backslashes, a drive-absolute path made relative to `base_directory`.
// Returns false (no key) when the path is not valid UTF-16.
bool MakePathKey(const WideString& path, const std::string& base_directory, std::string* key);

std::uint32_t PathKeyHash(std::string_view key);
bool PathKeyEqual(std::string_view a, std::string_view b);

// Hasher and equality for the overlay's key tables.
struct PathKeyHasher {
  size_t operator()(const std::string& key) const { return PathKeyHash(key); }
};
struct PathKeyEquals {
  bool operator()(const std::string& a, const std::string& b) const { return PathKeyEqual(a, b); }
};
