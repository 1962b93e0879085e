// JSON text for the `xp3` commands that print a JSON document (list, check,
// diff). Names come from archive indexes, the file system and the command
// line; whatever their bytes, the document stays valid JSON. Plain
// functions; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Length of the valid UTF-8 sequence that starts at text[at], or 0 when the
// byte there does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, a sequence cut short).
size_t Utf8SequenceLength(const std::string& text, size_t at);

// `text` as a quoted JSON string: quotes, backslashes and control characters
// escaped, valid UTF-8 kept as it is, and each byte that does not belong to
// a valid UTF-8 sequence written as U+FFFD, so that no name can break the
// document.
std::string JsonString(const std::string& text);

// A checksum as a JSON string of the eight lower-case hex digits that the
// text output shows ("0a1b2c3d").
std::string JsonHex32(uint32_t value);
