#include "platform/text_conversion.h"

#include <memory>
#include <new>

namespace {

// Code pages whose conversion functions reject every flag.
bool RefusesFlags(UINT cp) {
  switch (cp) {
    case 42:
    case 50220:
    case 50221:
    case 50222:
    case 50225:
    case 50227:
    case 50229:
    case 65000:
      return true;
    default:
      return cp >= 57002 && cp <= 57011;
  }
}

UINT Resolve(UINT cp) {
  if (cp == CP_ACP) return GetACP();
  if (cp == CP_OEMCP) return GetOEMCP();
  return cp;
}

DWORD SafeFlags(DWORD flags, UINT code_page, DWORD strict_flag) {
  const UINT cp = Resolve(code_page);
  if (RefusesFlags(cp)) return 0;
  if (cp == 65001 || cp == 54936) return flags & strict_flag;
  return flags;
}

}  // namespace

DWORD SafeDecodeFlags(DWORD flags, UINT code_page) {
  return SafeFlags(flags, code_page, MB_ERR_INVALID_CHARS);
}

DWORD SafeEncodeFlags(DWORD flags, UINT code_page) {
  return SafeFlags(flags, code_page, WC_ERR_INVALID_CHARS);
}

bool WideToMultiByte(const WideString& in, UINT code_page, DWORD flags, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  const DWORD safe = SafeEncodeFlags(flags, code_page);
  const int length = static_cast<int>(in.size());
  const int needed =
      WideCharToMultiByte(code_page, safe, in.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[needed]);
  if (!buffer) return false;
  const int written = WideCharToMultiByte(code_page, safe, in.data(), length, buffer.get(), needed,
                                          nullptr, nullptr);
  if (written <= 0) return false;
  try {
    out->assign(buffer.get(), static_cast<size_t>(written));
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
  return true;
}

bool MultiByteToWide(const std::string& in, UINT code_page, DWORD flags, WideString* out) {
  out->clear();
  if (in.empty()) return true;
  const DWORD safe = SafeDecodeFlags(flags, code_page);
  const int length = static_cast<int>(in.size());
  const int needed = MultiByteToWideChar(code_page, safe, in.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  std::unique_ptr<WCHAR[]> buffer(new (std::nothrow) WCHAR[needed]);
  if (!buffer) return false;
  const int written = MultiByteToWideChar(code_page, safe, in.data(), length, buffer.get(), needed);
  if (written <= 0) return false;
  try {
    out->assign(buffer.get(), static_cast<size_t>(written));
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
  return true;
}
