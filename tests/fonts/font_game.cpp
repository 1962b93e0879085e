// A game stand-in that uses a font file and copies a file the way a game
// does, through the system's own functions: it adds a font by its path,
// looks for the font's family, draws a text with it, removes it again, and
// copies, measures and searches for files. It prints what it saw, without
// paths, so that the report on an overlaid file can be compared with the
// report on a disk copy of the same bytes.
//
// Usage: font_game COMMAND...   (commands run in order)
//   load DLL            LoadLibraryW
//   entry               calls GameEntry through its address
//   font PATH FAMILY    adds the font privately, lists FAMILY, draws with it,
//                       removes the font and lists FAMILY again
//   copy FROM TO        CopyFileW, and what the copy holds
//   size PATH           GetCompressedFileSizeW
//   search LIST NAME    SearchPathW along a path list
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& wide) {
  std::string out(wide.size() * 4 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

uint64_t Hash(const void* data, size_t size) {
  uint64_t h = 1469598103934665603ULL;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  return h;
}

int CALLBACK CountFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM count) {
  ++*reinterpret_cast<int*>(count);
  return 1;
}

// How many faces of `family` the process can list.
int Listed(const std::wstring& family) {
  HDC dc = CreateCompatibleDC(nullptr);
  LOGFONTW wanted = {};
  wanted.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(wanted.lfFaceName, family.c_str(), LF_FACESIZE);
  int count = 0;
  EnumFontFamiliesExW(dc, &wanted, CountFamily, reinterpret_cast<LPARAM>(&count), 0);
  DeleteDC(dc);
  return count;
}

// Draws a text with `family` into a bitmap of its own and prints the face
// the system chose and a hash of the pixels.
void Draw(const std::wstring& family) {
  constexpr int kWidth = 320, kHeight = 64;
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kWidth;
  info.bmiHeader.biHeight = -kHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old_bitmap = SelectObject(dc, bitmap);
  LOGFONTW logfont = {};
  logfont.lfHeight = -40;
  logfont.lfCharSet = DEFAULT_CHARSET;
  logfont.lfQuality = NONANTIALIASED_QUALITY;
  lstrcpynW(logfont.lfFaceName, family.c_str(), LF_FACESIZE);
  HFONT font = CreateFontIndirectW(&logfont);
  HGDIOBJ old_font = SelectObject(dc, font);
  PatBlt(dc, 0, 0, kWidth, kHeight, WHITENESS);
  const wchar_t text[] = L"Translated: Wgj&Qy@";
  TextOutW(dc, 4, 4, text, static_cast<int>(wcslen(text)));
  GdiFlush();
  WCHAR face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  size_t inked = 0;
  const auto* pixels = static_cast<const uint32_t*>(bits);
  for (int i = 0; i < kWidth * kHeight; ++i) inked += (pixels[i] & 0xFFFFFF) != 0xFFFFFF;
  std::printf("drawn with %s: %zu pixels inked, hash %016llx\n", Narrow(face).c_str(), inked,
              static_cast<unsigned long long>(Hash(bits, kWidth * kHeight * 4)));
  SelectObject(dc, old_font);
  DeleteObject(font);
  SelectObject(dc, old_bitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

void Font(const std::wstring& path, const std::wstring& family) {
  std::printf("listed before: %d\n", Listed(family));
  const int added = AddFontResourceExW(path.c_str(), FR_PRIVATE, nullptr);
  std::printf("added: %d (error %lu)\n", added, added != 0 ? 0ul : GetLastError());
  std::printf("listed: %d\n", Listed(family));
  Draw(family);
  const BOOL removed = RemoveFontResourceExW(path.c_str(), FR_PRIVATE, nullptr);
  std::printf("removed: %d (error %lu)\n", removed, removed ? 0ul : GetLastError());
  std::printf("listed after: %d\n", Listed(family));
}

std::string Contents(const std::wstring& path) {
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "unreadable";
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got != 0) bytes.append(buffer, got);
  CloseHandle(h);
  char line[64];
  std::snprintf(line, sizeof line, "%zu bytes, hash %016llx", bytes.size(),
                static_cast<unsigned long long>(Hash(bytes.data(), bytes.size())));
  return line;
}

void Copy(const std::wstring& from, const std::wstring& to) {
  const BOOL copied = CopyFileW(from.c_str(), to.c_str(), TRUE);
  std::printf("copy: %d (error %lu), holds %s\n", copied, copied ? 0ul : GetLastError(),
              Contents(to).c_str());
  const BOOL again = CopyFileW(from.c_str(), to.c_str(), TRUE);
  std::printf("copy again, failing if it exists: %d (error %lu)\n", again,
              again ? 0ul : GetLastError());
}

void Size(const std::wstring& path) {
  DWORD high = 0;
  const DWORD low = GetCompressedFileSizeW(path.c_str(), &high);
  std::printf("compressed size: %lu %lu (error %lu)\n", high, low,
              low != INVALID_FILE_SIZE ? 0ul : GetLastError());
}

void Search(const std::wstring& list, const std::wstring& name) {
  WCHAR found[MAX_PATH];
  WCHAR* part = nullptr;
  const DWORD length = SearchPathW(list.c_str(), name.c_str(), nullptr, MAX_PATH, found, &part);
  std::printf("search: %s, holds %s\n", length != 0 ? Narrow(part).c_str() : "not found",
              length != 0 ? Contents(found).c_str() : "-");
}

}  // namespace

extern "C" DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) { return a + b + c + d; }
extern "C" DWORD WINAPI GameEntry(DWORD, DWORD, DWORD, DWORD);

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring command = argv[i];
    auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
    if (command == L"load") {
      const std::wstring dll = next();
      if (LoadLibraryW(dll.c_str()) == nullptr) return 1;
    } else if (command == L"entry") {
      auto* entry = reinterpret_cast<decltype(&GameEntry)>(
          reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x12A090);
      if (entry(1, 2, 3, 4) != 10) return 1;
    } else if (command == L"font") {
      const std::wstring path = next();
      Font(path, next());
    } else if (command == L"copy") {
      const std::wstring from = next();
      Copy(from, next());
    } else if (command == L"size") {
      Size(next());
    } else if (command == L"search") {
      const std::wstring list = next();
      Search(list, next());
    } else {
      std::printf("unknown command %s\n", Narrow(command).c_str());
      return 2;
    }
  }
  return 0;
}
