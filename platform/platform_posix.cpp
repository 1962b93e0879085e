// Native stand-ins for the Windows functions that the portable layers use.
// See platform.h for what they promise.
#ifndef _WIN32
#include "platform/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

thread_local DWORD last_error = 0;

// Decodes strict UTF-8 into code points; false on any invalid sequence
// (overlong forms, surrogates, values above U+10FFFF, truncation).
bool DecodeUtf8(const unsigned char* s, int n, std::vector<char32_t>& out) {
  int i = 0;
  while (i < n) {
    unsigned char c = s[i];
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= n) return false;  // truncated sequence
    for (int k = 1; k <= extra; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    out.push_back(cp);
    i += extra + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsSingleByte(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == 437 || cp == 1252; }

template <typename T>
int Deliver(const std::basic_string<T>& result, T* out, int out_length) {
  if (out_length == 0) return static_cast<int>(result.size());
  if (static_cast<int>(result.size()) > out_length) {
    last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(out, result.data(), result.size() * sizeof(T));
  return static_cast<int>(result.size());
}

std::string WideToUtf8Lossless(const WCHAR* p) {
  std::string s;
  for (; *p; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    AppendUtf8(s, c);
  }
  return s;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* text, int length, WCHAR* out,
                        int out_length) {
  if (text == nullptr || out_length < 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (length < 0) length = static_cast<int>(std::strlen(text)) + 1;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::u16string result;
  if (IsSingleByte(code_page)) {
    for (int i = 0; i < length; ++i) result += static_cast<char16_t>(s[i]);
  } else if (code_page == CP_UTF8) {
    std::vector<char32_t> cps;
    if (!DecodeUtf8(s, length, cps)) {
      if (flags & MB_ERR_INVALID_CHARS) {
        last_error = ERROR_NO_UNICODE_TRANSLATION;
        return 0;
      }
      // Without the strict flag Windows substitutes U+FFFD; so do we, per byte.
      cps.clear();
      for (int i = 0; i < length; ++i) cps.push_back(s[i] < 0x80 ? s[i] : 0xFFFD);
    }
    for (char32_t c : cps) {
      if (c >= 0x10000) {
        c -= 0x10000;
        result += static_cast<char16_t>(0xD800 + (c >> 10));
        result += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
      } else {
        result += static_cast<char16_t>(c);
      }
    }
  } else {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (result.empty()) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  return Deliver(result, out, out_length);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* text, int length, char* out,
                        int out_length, const char*, BOOL* used_default) {
  if (used_default) *used_default = 0;
  if (text == nullptr || out_length < 0) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (length < 0) {
    length = 0;
    while (text[length]) ++length;
    ++length;
  }
  std::string result;
  if (IsSingleByte(code_page)) {
    for (int i = 0; i < length; ++i) result += text[i] < 0x100 ? static_cast<char>(text[i]) : '?';
  } else if (code_page == CP_UTF8) {
    for (int i = 0; i < length; ++i) {
      char32_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        if (flags & WC_ERR_INVALID_CHARS) {
          last_error = ERROR_NO_UNICODE_TRANSLATION;
          return 0;
        }
        c = 0xFFFD;
      }
      AppendUtf8(result, c);
    }
  } else {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (result.empty()) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  return Deliver(result, out, out_length);
}

UINT GetACP() { return 1252; }
UINT GetOEMCP() { return 437; }

DWORD GetFullPathNameA(const char* path, DWORD length, char* buffer, char** file_part) {
  if (file_part) *file_part = nullptr;
  if (path == nullptr || *path == '\0') {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string full;
  if (path[0] == '/') {
    full = path;
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    full = std::string(cwd) + "/" + path;
  }
  if (full.size() + 1 > length) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  return static_cast<DWORD>(full.size());
}

DWORD GetFullPathNameW(const WCHAR* path, DWORD length, WCHAR* buffer, WCHAR** file_part) {
  if (file_part) *file_part = nullptr;
  if (path == nullptr) {
    last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string narrow = WideToUtf8Lossless(path);
  char scratch[PATH_MAX * 2];
  DWORD n = GetFullPathNameA(narrow.c_str(), sizeof scratch, scratch, nullptr);
  if (n == 0 || n >= sizeof scratch) return 0;
  int wide = MultiByteToWideChar(CP_UTF8, 0, scratch, static_cast<int>(n), nullptr, 0);
  if (wide <= 0) return 0;
  if (static_cast<DWORD>(wide) + 1 > length) return static_cast<DWORD>(wide + 1);
  MultiByteToWideChar(CP_UTF8, 0, scratch, static_cast<int>(n), buffer, wide);
  buffer[wide] = 0;
  return static_cast<DWORD>(wide);
}

void SetLastError(DWORD code) { last_error = code; }
DWORD GetLastError() { return last_error; }

int _sopen_s(int* fd, const char* path, int, int, int) {
  *fd = ::open(path, O_RDONLY | O_CLOEXEC);
  return *fd < 0 ? errno : 0;
}

int _wsopen_s(int* fd, const WCHAR* path, int open_flags, int share_flags, int permission) {
  std::string narrow = WideToUtf8Lossless(path);
  return _sopen_s(fd, narrow.c_str(), open_flags, share_flags, permission);
}

std::FILE* _fdopen(int fd, const char* mode) { return ::fdopen(fd, mode); }
int _close(int fd) { return ::close(fd); }
int _fseeki64(std::FILE* file, std::int64_t offset, int origin) {
  return ::fseeko(file, static_cast<off_t>(offset), origin);
}
std::int64_t _ftelli64(std::FILE* file) { return ::ftello(file); }
#endif
