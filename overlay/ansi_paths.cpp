#include "overlay/ansi_paths.h"

#include <cstring>
#include <cwchar>

#include "platform/text_conversion.h"

namespace {

// A name in a fixed field of `size` bytes, terminated: as much of the
// converted name as fits whole characters, as the system's own copy of a
// long name into the ANSI record does.
void NameToAnsi(const WCHAR* name, char* field, int size) {
  const UINT code_page = FileApiCodePage();
  int written = WideCharToMultiByte(code_page, 0, name, -1, field, size, nullptr, nullptr);
  if (written == 0) {
    // Too long for the field: convert character by character until it is
    // full, so that no multi-byte character is cut in half.
    int used = 0;
    for (const WCHAR* p = name; *p != L'\0'; ++p) {
      char bytes[8];
      const int count = (IS_HIGH_SURROGATE(p[0]) && IS_LOW_SURROGATE(p[1])) ? 2 : 1;
      const int n =
          WideCharToMultiByte(code_page, 0, p, count, bytes, sizeof bytes, nullptr, nullptr);
      if (n <= 0 || used + n >= size) break;
      std::memcpy(field + used, bytes, static_cast<size_t>(n));
      used += n;
      p += count - 1;
    }
    field[used] = '\0';
  }
}

}  // namespace

UINT FileApiCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

bool AnsiPathToWide(const char* path, std::wstring* wide) {
  wide->clear();
  if (path == nullptr) return false;
  WideString converted;
  if (!MultiByteToWide(path, FileApiCodePage(), MB_ERR_INVALID_CHARS, &converted)) return false;
  wide->assign(converted.begin(), converted.end());
  return true;
}

bool WidePathToAnsi(const WCHAR* wide, std::string* ansi) {
  ansi->clear();
  if (wide == nullptr) return false;
  // Only a conversion that comes back unchanged counts: a character without
  // a form in the code page would otherwise become the default character or
  // a look-alike, which names another file.
  const WideString original(wide);
  WideString back;
  const UINT code_page = FileApiCodePage();
  if (!WideToMultiByte(original, code_page, WC_ERR_INVALID_CHARS, ansi) ||
      !MultiByteToWide(*ansi, code_page, MB_ERR_INVALID_CHARS, &back) || back != original) {
    ansi->clear();
    return false;
  }
  return true;
}

void FindRecordToAnsi(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA* ansi) {
  ansi->dwFileAttributes = wide.dwFileAttributes;
  ansi->ftCreationTime = wide.ftCreationTime;
  ansi->ftLastAccessTime = wide.ftLastAccessTime;
  ansi->ftLastWriteTime = wide.ftLastWriteTime;
  ansi->nFileSizeHigh = wide.nFileSizeHigh;
  ansi->nFileSizeLow = wide.nFileSizeLow;
  ansi->dwReserved0 = wide.dwReserved0;
  ansi->dwReserved1 = wide.dwReserved1;
  NameToAnsi(wide.cFileName, ansi->cFileName, sizeof ansi->cFileName);
  NameToAnsi(wide.cAlternateFileName, ansi->cAlternateFileName, sizeof ansi->cAlternateFileName);
}
