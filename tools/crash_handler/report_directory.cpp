#include "tools/crash_handler/report_directory.h"

#include "platform/platform.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!ToUtf8(WideString(text.begin(), text.end()), &out)) out = "(a name that is not UTF-16)";
  return out;
}

// Length of the part of a full path that names no folder to create: "C:\",
// "\\server\share\", or the "\\?\" forms of both.
size_t RootLength(const std::wstring& path) {
  size_t start = 0;
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    start = 8;
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    start = 4;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    start = 2;
  } else {
    return path.size() >= 3 && path[1] == L':' ? 3 : 0;
  }
  if (start == 4 && path.size() >= 7 && path[5] == L':') return 7;
  // \\server\share\ : past two more separators.
  size_t at = start;
  for (int names = 0; names < 2 && at != std::wstring::npos; ++names) {
    at = path.find_first_of(L"\\/", at);
    if (at != std::wstring::npos) ++at;
  }
  return at == std::wstring::npos ? path.size() : at;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `path` (a full path without a trailing separator) after its
// missing parents.
bool CreateWithParents(const std::wstring& path, size_t root, std::string* error) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    *error = Narrow(path) + " is a file, not a folder";
    return false;
  }
  const size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos && cut >= root && cut > 0 &&
      !CreateWithParents(path.substr(0, cut), root, error)) {
    return false;
  }
  if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
  const DWORD code = ::GetLastError();
  // Another program may have made it meanwhile.
  if (code == ERROR_ALREADY_EXISTS && IsFolder(path)) return true;
  *error = "cannot create the folder " + Narrow(path) + ": " + SystemErrorText(code);
  return false;
}

}  // namespace

bool CreateReportDirectory(const std::wstring& directory, std::string* error) {
  if (directory.empty()) {
    *error = "no folder given";
    return false;
  }
  std::wstring full(MAX_PATH, L'\0');
  DWORD length =
      ::GetFullPathNameW(directory.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = ::GetFullPathNameW(directory.c_str(), length, full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) {
    *error = "cannot make a full path of " + Narrow(directory) + ": " +
             SystemErrorText(::GetLastError());
    return false;
  }
  full.resize(length);
  const size_t root = RootLength(full);
  while (full.size() > root && IsSeparator(full.back())) full.pop_back();
  if (full.size() <= root) {
    if (IsFolder(full)) return true;
    *error = Narrow(full) + " cannot be reached";
    return false;
  }
  return CreateWithParents(full, root, error);
}
