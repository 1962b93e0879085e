#include "overlay/path_strings.h"

#include <cstring>
#include <memory>

#include "overlay/checked_text.h"
#include "platform/text_conversion.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsSeparator(char c) { return c == '/' || c == '\\'; }
bool HasDrive(const std::string& p) { return p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == ':'; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Backslashes become slashes and one trailing slash is dropped.
std::string ComparisonForm(const std::string& p) {
  std::string s = ReplaceAll(p, "\\", "/");
  if (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::vector<std::string> NonEmptyPieces(const std::string& s) {
  std::vector<std::string> pieces;
  for (std::string& piece : SplitString(s, "/")) {
    if (!piece.empty()) pieces.push_back(std::move(piece));
  }
  return pieces;
}

size_t LastSeparator(const std::string& s, size_t limit = std::string::npos) {
  size_t slash = s.rfind('/', limit);
  size_t back = s.rfind('\\', limit);
  if (slash == std::string::npos) return back;
  if (back == std::string::npos) return slash;
  return slash > back ? slash : back;
}

}  // namespace

bool IsDriveAbsolute(const std::string& path) {
  return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == ':' && IsSeparator(path[2]);
}

std::string DirectoryOf(const std::string& path) {
  size_t sep = LastSeparator(path);
  if (sep == std::string::npos) return std::string();
  return path.substr(0, sep);
}

std::string FileNameOf(const std::string& path) {
  if (path.find("://") != std::string::npos) {
    size_t q = path.find('?');
    size_t h = path.find('#');
    size_t end = q < h ? q : h;  // npos when neither is present
    size_t sep = end == std::string::npos ? LastSeparator(path) : LastSeparator(path, end);
    size_t begin = sep == std::string::npos ? 0 : sep + 1;
    size_t stop = end == std::string::npos ? path.size() : end;
    return path.substr(begin, stop - begin);
  }
  size_t sep = LastSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  if (IsDriveAbsolute(b) || HasDrive(b)) return b;
  const bool b_rooted = IsSeparator(b[0]);
  if (HasDrive(a)) {
    if (b_rooted) return a.substr(0, 2) + b;
  } else if (b_rooted) {
    return b;
  }
  if (IsSeparator(a.back())) return a + b;
  return a + "\\" + b;
}

std::string JoinPaths(const std::vector<std::string>& parts) {
  if (parts.empty()) return std::string();
  std::string result = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) result = JoinPath(result, parts[i]);
  return result;
}

std::vector<std::string> SplitString(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  size_t begin = 0;
  for (;;) {
    size_t at = text.find(separator, begin);
    if (at == std::string::npos) break;
    pieces.push_back(text.substr(begin, at - begin));
    begin = at + separator.size();
  }
  pieces.push_back(text.substr(begin));
  return pieces;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = FoldAscii(c);
  return text;
}

std::string RelativePath(const std::string& path, const std::string& start_in) {
  const std::string start = start_in.empty() ? std::string(".") : start_in;
  const std::string p = ComparisonForm(path);
  const std::string s = ComparisonForm(start);
  if (p == s) return ".";
  const bool path_abs = IsDriveAbsolute(path);
  const bool start_abs = IsDriveAbsolute(start);
  if (path_abs != start_abs) return path;
  if (path_abs && start_abs && p.size() >= 2 && s.size() >= 2) {
    if (FoldAscii(p[0]) != FoldAscii(s[0]) || p[1] != ':') return path;
  }
  const std::vector<std::string> pp = NonEmptyPieces(p);
  const std::vector<std::string> sp = NonEmptyPieces(s);
  size_t common = 0;
  while (common < pp.size() && common < sp.size() &&
         LowerAscii(pp[common]) == LowerAscii(sp[common])) {
    ++common;
  }
  std::string result;
  for (size_t i = common; i < sp.size(); ++i) {
    if (!result.empty()) result += '/';
    result += "..";
  }
  for (size_t i = common; i < pp.size(); ++i) {
    if (!result.empty()) result += '/';
    result += pp[i];
  }
  if (result.empty()) return ".";
  return ReplaceAll(result, "/", "\\");
}

namespace {

// DirectoryOf a drive-absolute path whose directory is the drive's root.
std::string KeepDriveRoot(const std::string& path, std::string directory) {
  if (directory.size() == 2 && HasDrive(directory) && IsDriveAbsolute(path)) directory += '\\';
  return directory;
}

}  // namespace

std::string GameDirectoryOf(const std::string& executable_path) {
  return KeepDriveRoot(executable_path, ReplaceAll(DirectoryOf(executable_path), "/", "\\"));
}

std::string SearchedDirectoryOf(const std::string& pattern) {
  return KeepDriveRoot(pattern, DirectoryOf(pattern));
}

bool BeginsWithParent(std::string_view relative) {
  return relative.size() >= 2 && relative[0] == '.' && relative[1] == '.' &&
         (relative.size() == 2 || IsSeparator(relative[2]));
}

std::string FullPathWide(const WideString& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::string();
  std::unique_ptr<WCHAR[]> buffer(new WCHAR[needed]);
  const DWORD written = GetFullPathNameW(path.c_str(), needed, buffer.get(), nullptr);
  if (written == 0 || written >= needed) return std::string();
  std::string result;
  if (!ToUtf8OrThrow(WideString(buffer.get(), written), &result)) return std::string();
  return result;
}

std::string FullPath(const std::string& path) {
  for (UINT cp : kCodePageFallbackOrder) {
    // Read up to the terminating zero, as the C string the game would pass.
    const char* text = path.c_str();
    const int length = static_cast<int>(std::strlen(text));
    if (length == 0) break;
    const DWORD flags = SafeDecodeFlags(MB_ERR_INVALID_CHARS, cp);
    const int needed = MultiByteToWideChar(cp, flags, text, length, nullptr, 0);
    if (needed <= 0) continue;
    WideString wide(static_cast<size_t>(needed), 0);
    if (MultiByteToWideChar(cp, flags, text, length, wide.data(), needed) <= 0) continue;
    std::string full = FullPathWide(wide);
    if (!full.empty()) return full;
  }
  const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::string();
  std::unique_ptr<char[]> buffer(new char[needed]);
  const DWORD written = GetFullPathNameA(path.c_str(), needed, buffer.get(), nullptr);
  if (written == 0 || written >= needed) return std::string();
  return std::string(buffer.get(), written);
}
