#include "overlay/search_pattern.h"

#include <cstdint>
#include <cwchar>

namespace {

// One character of a name against one of a pattern, ignoring case as the
// file system does ("CompareStringOrdinal function", Microsoft Learn).
bool SameCharacter(WCHAR a, WCHAR b) {
  return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// The classic wildcard walk: on a mismatch, go back to the last "*" and let
// it take one character more. Linear in practice, never recursive.
bool Matches(const WCHAR* name, size_t name_length, const WCHAR* pattern, size_t pattern_length) {
  size_t n = 0, p = 0;
  size_t star = SIZE_MAX, star_name = 0;
  while (n < name_length) {
    if (p < pattern_length && pattern[p] == L'*') {
      star = p++;
      star_name = n;
    } else if (p < pattern_length && (pattern[p] == L'?' || SameCharacter(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (star != SIZE_MAX) {
      p = star + 1;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (p < pattern_length && pattern[p] == L'*') ++p;
  return p == pattern_length;
}

}  // namespace

bool MatchesSearchPattern(const WCHAR* name, const WCHAR* pattern) {
  if (name == nullptr || pattern == nullptr) return false;
  const size_t name_length = std::wcslen(name);
  const size_t pattern_length = std::wcslen(pattern);
  if (pattern_length == 3 && std::wcscmp(pattern, L"*.*") == 0) return true;
  if (Matches(name, name_length, pattern, pattern_length)) return true;
  // "name.*" finds "name" too: the ".*" may stand for no extension at all.
  if (pattern_length >= 2 && pattern[pattern_length - 2] == L'.' &&
      pattern[pattern_length - 1] == L'*') {
    return Matches(name, name_length, pattern, pattern_length - 2);
  }
  return false;
}
