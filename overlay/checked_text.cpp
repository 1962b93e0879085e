#include "overlay/checked_text.h"

bool ToUtf8OrThrow(const WideString& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  const int length = static_cast<int>(in.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in.data(), length, nullptr,
                                         0, nullptr, nullptr);
  if (needed <= 0) return false;
  out->resize(static_cast<size_t>(needed));
  const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in.data(), length,
                                          out->data(), needed, nullptr, nullptr);
  out->resize(written > 0 ? static_cast<size_t>(written) : 0);
  return written > 0;
}

bool FromUtf8OrThrow(const std::string& in, WideString* out) {
  out->clear();
  if (in.empty()) return true;
  const int length = static_cast<int>(in.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  out->resize(static_cast<size_t>(needed));
  const int written =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, out->data(), needed);
  out->resize(written > 0 ? static_cast<size_t>(written) : 0);
  return written > 0;
}
