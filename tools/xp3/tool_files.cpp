#include "tools/xp3/tool_files.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/text_conversion.h"
#include "tools/xp3/json_text.h"

#ifdef _WIN32
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

fs::path PathFromUtf8(const std::string& utf8) {
#ifdef _WIN32
  WideString wide;
  if (!FromUtf8(utf8, &wide)) return fs::path();
  return fs::path(std::wstring(wide.begin(), wide.end()));
#else
  return fs::path(utf8);
#endif
}

bool Utf8FromPath(const fs::path& path, std::string* utf8) {
#ifdef _WIN32
  const std::wstring& native = path.native();
  return ToUtf8(WideString(native.begin(), native.end()), utf8);
#else
  WideString check;
  *utf8 = path.native();
  return utf8->empty() || FromUtf8(*utf8, &check);
#endif
}

bool GenericUtf8FromPath(const fs::path& path, std::string* utf8) {
#ifdef _WIN32
  std::wstring generic = path.generic_wstring();
  return ToUtf8(WideString(generic.begin(), generic.end()), utf8);
#else
  return Utf8FromPath(path.generic_string(), utf8);
#endif
}

std::string DisplayPath(const fs::path& path) {
  std::string utf8;
  if (Utf8FromPath(path, &utf8)) return utf8;
  // Keep what is readable, so that the name can still be found; show the
  // rest as escapes.
  std::string shown;
  char escape[16];
#ifdef _WIN32
  const std::wstring& native = path.native();
  WideString run;
  auto flush = [&] {
    std::string part;
    ToUtf8(run, &part);
    shown += part;
    run.clear();
  };
  for (size_t i = 0; i < native.size(); ++i) {
    const wchar_t c = native[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < native.size() && native[i + 1] >= 0xDC00 && native[i + 1] <= 0xDFFF) {
      run.push_back(c);
      run.push_back(native[++i]);
    } else if (high || low) {
      flush();
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    } else {
      run.push_back(c);
    }
  }
  flush();
#else
  const std::string& native = path.native();
  for (size_t at = 0; at < native.size();) {
    if (const size_t length = Utf8SequenceLength(native, at); length != 0) {
      shown.append(native, at, length);
      at += length;
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(native[at++]));
      shown += escape;
    }
  }
#endif
  return shown;
}

std::string MessagePath(const fs::path& path) {
  fs::path preferred = path;
  preferred.make_preferred();
  return DisplayPath(preferred);
}

bool ResolvedPath(const fs::path& path, fs::path* resolved) {
#ifdef _WIN32
  // The same question the patch asks of a file it serves from a loose
  // folder, so the tool sees links as the patch does (under Wine too, where
  // a link on the host looks like a plain file).
  HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::wstring name(MAX_PATH * 2, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
  if (length >= name.size()) {
    name.resize(length);
    length = GetFinalPathNameByHandleW(handle, name.data(), length, 0);
  }
  CloseHandle(handle);
  if (length == 0 || length >= name.size()) return false;
  name.resize(length);
  if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    name = L"\\\\" + name.substr(8);
  } else if (name.compare(0, 4, L"\\\\?\\") == 0) {
    name = name.substr(4);
  }
  *resolved = fs::path(name);
  return true;
#else
  std::error_code ec;
  *resolved = fs::canonical(path, ec);
  return !ec;
#endif
}

std::FILE* OpenFile(const fs::path& path, const char* mode) {
#ifdef _WIN32
  std::wstring wide_mode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool MoveOver(const fs::path& from, const fs::path& to, std::string* error) {
#ifdef _WIN32
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DWORD code = GetLastError();
  *error = "cannot rename " + DisplayPath(from) + " to " + DisplayPath(to) + " (error " +
           std::to_string(code) + ")";
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    *error += "; is the archive in use, for example by the game?";
  }
  return false;
#else
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *error =
      "cannot rename " + DisplayPath(from) + " to " + DisplayPath(to) + ": " + std::strerror(errno);
  return false;
#endif
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The narrow argv holds the ANSI code page's rendering of the command line,
  // which loses characters; the wide command line has them all.
  (void)argv;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide != nullptr && i < count; ++i) {
    std::string utf8;
    ToUtf8(WideString(wide[i]), &utf8);
    args.push_back(utf8);
  }
  if (wide != nullptr) LocalFree(wide);
  (void)argc;
#else
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
#endif
  return args;
}

bool IsConsole(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

void PrepareConsole() {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
}

std::string HumanSize(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return Counted(bytes, "byte", "bytes");
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string Counted(uint64_t number, const char* one, const char* many) {
  return std::to_string(number) + " " + (number == 1 ? one : many);
}
