// Strict conversions between UTF-16 and multi-byte text, and the rule that
// picks conversion flags a code page accepts.
//
// Inside the patch every path and name is UTF-8; UTF-16 appears only at the
// boundary to Windows functions. A conversion either succeeds completely or
// fails with an empty output: an invalid sequence is never replaced by a
// substitute character. Plain functions over values, safe on any thread.
#pragma once

#include <array>
#include <string>

#include "platform/platform.h"

// Order in which a UTF-8 string that might not be UTF-8 is tried when it must
// reach a Windows function taking a wide path.
inline constexpr std::array<UINT, 3> kCodePageFallbackOrder = {CP_UTF8, CP_OEMCP, CP_ACP};

// Flags to hand to MultiByteToWideChar / WideCharToMultiByte for `code_page`:
// pages that refuse any flag get 0, UTF-8 and GB18030 keep only the
// invalid-character flag, all others keep `flags` unchanged. CP_ACP and
// CP_OEMCP are resolved for the decision only.
DWORD SafeDecodeFlags(DWORD flags, UINT code_page);
DWORD SafeEncodeFlags(DWORD flags, UINT code_page);

// UTF-16 -> multi-byte. On failure returns false and leaves `out` empty.
bool WideToMultiByte(const WideString& in, UINT code_page, DWORD flags, std::string* out);

// Multi-byte -> UTF-16. On failure returns false and leaves `out` empty.
bool MultiByteToWide(const std::string& in, UINT code_page, DWORD flags, WideString* out);

// The conversions every caller in the patch uses: CP_UTF8 with the strict flag.
inline bool ToUtf8(const WideString& in, std::string* out) {
  return WideToMultiByte(in, CP_UTF8, WC_ERR_INVALID_CHARS, out);
}
inline bool FromUtf8(const std::string& in, WideString* out) {
  return MultiByteToWide(in, CP_UTF8, MB_ERR_INVALID_CHARS, out);
}
