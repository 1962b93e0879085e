// A game stand-in that keeps running while a test changes files under it:
// it reads one command per line from standard input and answers each with
// one line on standard output, flushed at once, so that a script can drive
// it through a pipe, edit the loose folder between two commands, and see
// what the game sees after each edit.
//
// Commands (paths as the game would give them, relative to its directory or
// absolute):
//   load DLL        LoadLibraryW (as the launcher's injection would)
//   entry           call GameEntry through its address (the patch starts)
//   read PATH       open, measure and read the whole file; the bytes are
//                   shown with anything outside printable ASCII escaped
//   stat PATH       GetFileAttributesW and GetFileAttributesExW
//   list PATTERN    FindFirstFileW/FindNextFileW/FindClose: the names sorted,
//                   directories with a trailing '/', without . and ..
//   search NAME     SearchPathW without a search path
//   final PATH      GetFinalPathNameByHandleW of the opened file
//   write PATH      open with GENERIC_WRITE and OPEN_ALWAYS, then write
//   hold PATH       open with no sharing and keep the handle
//   release         close the held handle
//   quit            end with exit code 0
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Narrow(const std::wstring& w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

void Answer(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out += c;
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", byte);
      out += code;
    }
  }
  return out;
}

std::string Error(const std::string& what) {
  return what + ": error " + std::to_string(GetLastError());
}

std::string Read(const std::wstring& path) {
  const std::string what = "read " + Narrow(path);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Error(what);
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0)
    bytes.append(buffer, got);
  CloseHandle(file);
  return what + ": " + std::to_string(size.QuadPart) + " bytes: " + Escaped(bytes);
}

std::string Stat(const std::wstring& path) {
  const std::string what = "stat " + Narrow(path);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Error(what);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return Error(what + " ex");
  char line[128];
  std::snprintf(line, sizeof line, ": %s, size %lu, attributes agree %d",
                (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "directory" : "file", data.nFileSizeLow,
                attributes == data.dwFileAttributes);
  return what + line;
}

std::string List(const std::wstring& pattern) {
  const std::string what = "list " + Narrow(pattern);
  WIN32_FIND_DATAW record;
  HANDLE find = FindFirstFileW(pattern.c_str(), &record);
  if (find == INVALID_HANDLE_VALUE) return Error(what);
  std::vector<std::string> names;
  do {
    const std::wstring name = record.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(Narrow(name) +
                    ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "/" : ""));
  } while (FindNextFileW(find, &record));
  FindClose(find);
  // The file system's order is its own; sorted, a listing compares as a set
  // in which a name listed twice still shows.
  std::sort(names.begin(), names.end());
  std::string line = what + ":";
  for (const std::string& name : names) line += " " + name;
  return line;
}

std::string Search(const std::wstring& name) {
  WCHAR found[MAX_PATH];
  WCHAR* file_part = nullptr;
  const DWORD length = SearchPathW(nullptr, name.c_str(), nullptr, MAX_PATH, found, &file_part);
  if (length == 0 || length >= MAX_PATH) return Error("search " + Narrow(name));
  return "search " + Narrow(name) + ": found " + Narrow(file_part);
}

std::string Final(const std::wstring& path) {
  const std::string what = "final " + Narrow(path);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Error(what);
  WCHAR name[MAX_PATH * 2];
  const DWORD length = GetFinalPathNameByHandleW(file, name, MAX_PATH * 2, 0);
  CloseHandle(file);
  if (length == 0 || length >= MAX_PATH * 2) return Error(what);
  return what + ": " + Narrow(std::wstring(name, length));
}

std::string Write(const std::wstring& path) {
  const std::string what = "write " + Narrow(path);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Error(what + " open");
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, "overwritten", 11, &written, nullptr);
  const DWORD error = wrote ? 0 : GetLastError();
  CloseHandle(file);
  return what + ": opened, write " + std::to_string(wrote) + " error " + std::to_string(error);
}

}  // namespace

extern "C" DWORD WINAPI GameEntry(DWORD, DWORD, DWORD, DWORD);
extern "C" DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) { return a + b + c + d; }

int wmain() {
  HANDLE held = INVALID_HANDLE_VALUE;
  Answer("ready");
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::wstring argument = space == std::string::npos ? L"" : Wide(line.substr(space + 1));
    if (command == "load") {
      Answer(LoadLibraryW(argument.c_str()) != nullptr ? "load: ok" : Error("load"));
    } else if (command == "entry") {
      auto* entry = reinterpret_cast<decltype(&GameEntry)>(
          reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x12A090);
      Answer("entry: " + std::to_string(entry(1, 2, 3, 4)));
    } else if (command == "read") {
      Answer(Read(argument));
    } else if (command == "stat") {
      Answer(Stat(argument));
    } else if (command == "list") {
      Answer(List(argument));
    } else if (command == "search") {
      Answer(Search(argument));
    } else if (command == "final") {
      Answer(Final(argument));
    } else if (command == "write") {
      Answer(Write(argument));
    } else if (command == "hold") {
      held = CreateFileW(argument.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      Answer(held != INVALID_HANDLE_VALUE ? "hold: ok" : Error("hold"));
    } else if (command == "release") {
      if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
      held = INVALID_HANDLE_VALUE;
      Answer("release: ok");
    } else if (command == "quit") {
      Answer("quit");
      return 0;
    } else {
      Answer("unknown command: " + command);
    }
  }
  return 1;
}
