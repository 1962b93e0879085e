#include "tools/crash_handler/system_error_text.h"

#include "platform/text_conversion.h"

std::string SystemErrorText(DWORD code) {
  WCHAR text[512];
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, code, 0, text, 512, nullptr);
  // The width mask turns the closing line break into a space.
  while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'.')) --length;
  std::string words;
  if (length == 0 || !ToUtf8(WideString(text, length), &words)) words = "unknown error";
  return words + " (error " + std::to_string(code) + ")";
}

std::string LastErrorText(const std::string& what) {
  const DWORD code = ::GetLastError();
  return what + " failed: " + SystemErrorText(code);
}
