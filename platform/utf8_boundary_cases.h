// Test support: UTF-16 text at every boundary of the UTF-8 encoding, with
// the bytes a strict conversion must give for it, or none when the text is
// not valid UTF-16. Each layer that encodes UTF-8 of its own (the platform's
// conversions, path keys, checked text, archive names) is held to the same
// table.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

struct Utf8BoundaryCase {
  WideString wide;
  bool valid;
  std::string utf8;  // when valid
};

inline std::vector<Utf8BoundaryCase> Utf8BoundaryCases() {
  auto units = [](std::initializer_list<unsigned> list) {
    WideString text;
    for (unsigned unit : list) text += static_cast<WCHAR>(unit);
    return text;
  };
  return {
      // The last one-byte and the first two-byte character.
      {units({'x', 0x7F}), true, "x\x7F"},
      {units({0x80}), true, "\xC2\x80"},
      // The last two-byte and the first three-byte character.
      {units({0x7FF}), true, "\xDF\xBF"},
      {units({0x800}), true, "\xE0\xA0\x80"},
      // Around the surrogate range, and the last unit of the plane.
      {units({0xD7FF}), true, "\xED\x9F\xBF"},
      {units({0xE000}), true, "\xEE\x80\x80"},
      {units({0xFFFF}), true, "\xEF\xBF\xBF"},
      // Pairs at both ends of the range: U+10000 and U+10FFFF, and the
      // mixed ends U+103FF and U+10FC00.
      {units({0xD800, 0xDC00}), true, "\xF0\x90\x80\x80"},
      {units({0xDBFF, 0xDFFF}), true, "\xF4\x8F\xBF\xBF"},
      {units({0xD800, 0xDFFF}), true, "\xF0\x90\x8F\xBF"},
      {units({0xDBFF, 0xDC00}), true, "\xF4\x8F\xB0\x80"},
      // Lone surrogates at both ends of each half, alone, first and last.
      {units({0xD800}), false, ""},
      {units({0xDBFF, 'a'}), false, ""},
      {units({'a', 0xDC00}), false, ""},
      {units({0xDFFF}), false, ""},
      {units({0xDC00, 0xD800}), false, ""},
      {units({0xD800, 0xD800}), false, ""},
  };
}
