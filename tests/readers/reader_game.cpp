// A game stand-in that reads its files the way a game's plugins and the
// libraries it links do: through the C runtime, COM file streams, the image
// decoders, user32, winmm, the profile functions, the ANSI file functions and
// the handle queries, none of which this project wrote. It prints what each
// of them saw, without the path, so that the report on an overlaid file can
// be compared line by line with the report on a disk copy of the same bytes.
//
// Usage: reader_game COMMAND...   (commands run in order)
//   files DIR      writes the test files (text, INI, BMP, PNG, WAV, empty)
//   load DLL       LoadLibraryW
//   entry          calls GameEntry through its address
//   report PATH... what every reader sees of each file (absolute paths)
#include <windows.h>
// The multimedia, COM and shell headers need the Windows types first.
#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>
#include <objbase.h>
#include <shlwapi.h>
#include <sys/stat.h>
#include <wincodec.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kTextSize = 105000;

uint64_t Hash(const void* data, size_t size) {
  uint64_t h = 1469598103934665603ULL;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  return h;
}
uint64_t Hash(const std::string& s) { return Hash(s.data(), s.size()); }

std::string Narrow(const std::wstring& w, UINT code_page = CP_UTF8) {
  const int n = WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}
bool EndsWith(const std::wstring& s, const wchar_t* tail) {
  const std::wstring t = tail;
  return s.size() >= t.size() && _wcsicmp(s.c_str() + s.size() - t.size(), t.c_str()) == 0;
}

// --- Test files ---------------------------------------------------------------

std::string Text() {
  std::string text;
  for (unsigned line = 0; text.size() < kTextSize; ++line) {
    text += "line " + std::to_string(line) + ": the translated text of the scenario\r\n";
  }
  text.resize(kTextSize);
  return text;
}

void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
void Put16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v));
  s->push_back(static_cast<char>(v >> 8));
}
void PutBig32(std::string* s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s->push_back(static_cast<char>(v >> (8 * i)));
}

// A 24-bit bottom-up BMP of 37 x 23 pixels (rows padded to 4 bytes).
std::string Bmp() {
  const int width = 37, height = 23, row = (width * 3 + 3) & ~3;
  std::string pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < row; ++x) pixels.push_back(static_cast<char>(x * 7 + y * 13));
  }
  std::string bmp = "BM";
  Put32(&bmp, 54 + static_cast<uint32_t>(pixels.size()));
  Put32(&bmp, 0);
  Put32(&bmp, 54);
  Put32(&bmp, 40);
  Put32(&bmp, width);
  Put32(&bmp, height);
  Put16(&bmp, 1);
  Put16(&bmp, 24);
  Put32(&bmp, 0);
  Put32(&bmp, static_cast<uint32_t>(pixels.size()));
  Put32(&bmp, 2835);
  Put32(&bmp, 2835);
  Put32(&bmp, 0);
  Put32(&bmp, 0);
  return bmp + pixels;
}

void PngChunk(std::string* png, const char* type, const std::string& data) {
  PutBig32(png, static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png->append(body);
  PutBig32(png, static_cast<uint32_t>(
                    crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// An RGB PNG of 61 x 29 pixels.
std::string Png() {
  const int width = 61, height = 29;
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    for (int x = 0; x < width * 3; ++x) raw.push_back(static_cast<char>(x * 5 + y * 11));
  }
  uLongf packed_size = compressBound(raw.size());
  std::string packed(packed_size, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
           reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  packed.resize(packed_size);
  std::string header;
  PutBig32(&header, width);
  PutBig32(&header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1a\n";
  PngChunk(&png, "IHDR", header);
  PngChunk(&png, "IDAT", packed);
  PngChunk(&png, "IEND", "");
  return png;
}

// 16-bit mono PCM, 8000 samples.
std::string Wav() {
  std::string samples;
  for (int i = 0; i < 8000; ++i) Put16(&samples, static_cast<uint16_t>(i * 37));
  std::string wav = "RIFF";
  Put32(&wav, 36 + static_cast<uint32_t>(samples.size()));
  wav += "WAVEfmt ";
  Put32(&wav, 16);
  Put16(&wav, 1);
  Put16(&wav, 1);
  Put32(&wav, 22050);
  Put32(&wav, 44100);
  Put16(&wav, 2);
  Put16(&wav, 16);
  wav += "data";
  Put32(&wav, static_cast<uint32_t>(samples.size()));
  return wav + samples;
}

std::string Ini() {
  return "; the game's settings, translated\r\n[title]\r\nname=Translated Title\r\n"
         "caption=The caption in the translation\r\n[menu]\r\nstart=Begin\r\nquit=Leave\r\n";
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

bool Files(const std::wstring& directory) {
  return WriteWhole(directory + L"\\text.txt", Text()) &&
         WriteWhole(directory + L"\\table.ini", Ini()) &&
         WriteWhole(directory + L"\\image.bmp", Bmp()) &&
         WriteWhole(directory + L"\\image.png", Png()) &&
         WriteWhole(directory + L"\\sound.wav", Wav()) &&
         WriteWhole(directory + L"\\empty.txt", "");
}

// --- Readers ------------------------------------------------------------------

void ReportCrt(const std::wstring& path) {
  const std::string narrow = Narrow(path, CP_ACP);
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    std::string data;
    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, got);
    Print("  fread: %zu bytes, hash %016llx, eof %d, error %d\n", data.size(), Hash(data),
          std::feof(f) != 0, std::ferror(f) != 0);
    std::fclose(f);
  } else {
    Print("  fread: cannot open\n");
  }
  const int fd = _open(narrow.c_str(), _O_RDONLY | _O_BINARY);
  if (fd >= 0) {
    std::string data;
    char buffer[4096];
    int got;
    while ((got = _read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, got);
    Print("  _read: %zu bytes, hash %016llx, last %d\n", data.size(), Hash(data), got);
    _close(fd);
  } else {
    Print("  _read: cannot open\n");
  }
  struct _stat64 st = {};
  const int stat_result = _wstat64(path.c_str(), &st);
  struct _stat narrow_st = {};
  const int narrow_result = _stat(narrow.c_str(), &narrow_st);
  Print("  _wstat64: %d size %lld regular %d; _stat: %d size %ld\n", stat_result, st.st_size,
        (st.st_mode & _S_IFREG) != 0, narrow_result, static_cast<long>(narrow_st.st_size));
  struct _finddata_t found = {};
  const intptr_t find = _findfirst(narrow.c_str(), &found);
  Print("  _findfirst: %s size %lu\n", find == -1 ? "none" : found.name,
        find == -1 ? 0ul : static_cast<unsigned long>(found.size));
  if (find != -1) _findclose(find);
  struct _wfinddata_t wfound = {};
  const intptr_t wfind = _wfindfirst(path.c_str(), &wfound);
  Print("  _wfindfirst: %s size %lu\n", wfind == -1 ? "none" : Narrow(wfound.name).c_str(),
        wfind == -1 ? 0ul : static_cast<unsigned long>(wfound.size));
  if (wfind != -1) _findclose(wfind);
}

void ReportStream(const std::wstring& path) {
  IStream* stream = nullptr;
  HRESULT hr = SHCreateStreamOnFileEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, 0, FALSE,
                                      nullptr, &stream);
  if (FAILED(hr)) {
    Print("  stream: cannot open, 0x%08lx\n", hr);
    return;
  }
  // The usual loop: read until a failure or nothing read. A stream that
  // never ends would loop for ever; stop long after a real one ends.
  std::string data;
  char buffer[8192];
  int reads = 0;
  for (;;) {
    ULONG got = 0xDEADBEEF;
    hr = stream->Read(buffer, sizeof buffer, &got);
    if (FAILED(hr) || got == 0 || got > sizeof buffer || ++reads > 1000) break;
    data.append(buffer, got);
    if (hr != S_OK) break;
  }
  STATSTG stat = {};
  const HRESULT stat_hr = stream->Stat(&stat, STATFLAG_NONAME);
  Print("  stream: %zu bytes, hash %016llx, last 0x%08lx, reads %d; stat 0x%08lx size %llu\n",
        data.size(), Hash(data), hr, reads, stat_hr, stat.cbSize.QuadPart);
  stream->Release();
}

std::string ReadAll(HANDLE h) {
  std::string data;
  char buffer[7000];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

void CALLBACK Completed(DWORD error, DWORD count, OVERLAPPED* overlapped) {
  overlapped->hEvent = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(count * 2 + (error != 0)));
}

void ReportHandle(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Print("  handle: cannot open, error %lu\n", GetLastError());
    return;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  BOOL ok = GetFileInformationByHandle(h, &info);
  Print("  information: %d readonly %d dir %d size %lu links %lu\n", ok,
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0,
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, info.nFileSizeLow,
        info.nNumberOfLinks);
  FILE_STANDARD_INFO standard = {};
  ok = GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard);
  Print("  standard: %d end %lld links %lu delete %d dir %d\n", ok, standard.EndOfFile.QuadPart,
        standard.NumberOfLinks, standard.DeletePending, standard.Directory);
  FILE_BASIC_INFO basic = {};
  ok = GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
  Print("  basic: %d readonly %d times %d\n", ok,
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0,
        basic.LastWriteTime.QuadPart != 0 && basic.CreationTime.QuadPart != 0);
  struct {
    FILE_NAME_INFO info;
    WCHAR more[MAX_PATH];
  } name = {};
  ok = GetFileInformationByHandleEx(h, FileNameInfo, &name, sizeof name);
  const std::wstring name_text(name.info.FileName, name.info.FileNameLength / sizeof(WCHAR));
  Print("  name: %d %s\n", ok, Narrow(BaseName(name_text)).c_str());
  FILETIME created = {}, accessed = {}, written = {};
  ok = GetFileTime(h, &created, &accessed, &written);
  Print("  times: %d %d\n", ok, written.dwLowDateTime != 0 || written.dwHighDateTime != 0);
  WCHAR final_path[MAX_PATH] = {};
  DWORD final_length = GetFinalPathNameByHandleW(h, final_path, MAX_PATH, 0);
  Print("  final path: %d %s\n", final_length > 0,
        Narrow(BaseName(std::wstring(final_path, final_length < MAX_PATH ? final_length : 0)))
            .c_str());
  char final_narrow[MAX_PATH] = {};
  final_length = GetFinalPathNameByHandleA(h, final_narrow, MAX_PATH, 0);
  Print("  final path A: %d %s\n", final_length > 0,
        final_length > 0 && final_length < MAX_PATH
            ? Narrow(BaseName(std::wstring(final_narrow, final_narrow + final_length)), CP_ACP)
                  .c_str()
            : "");

  const DWORD size = GetFileSize(h, nullptr);
  // A read at an offset through OVERLAPPED, with an event.
  std::vector<char> buffer(size + 16);
  OVERLAPPED overlapped = {};
  overlapped.Offset = size / 3;
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD got = 0;
  ok = ReadFile(h, buffer.data(), 100, &got, &overlapped);
  DWORD error = ok ? 0 : GetLastError();
  DWORD transferred = 0;
  const BOOL result = GetOverlappedResult(h, &overlapped, &transferred, TRUE);
  Print(
      "  overlapped: %d error %lu got %lu, result %d %lu, internal %lu %lu, event %d, hash "
      "%016llx\n",
      ok, error, got, result, transferred, static_cast<DWORD>(overlapped.Internal),
      static_cast<DWORD>(overlapped.InternalHigh),
      WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0, Hash(buffer.data(), got));
  CloseHandle(overlapped.hEvent);
  // The position is not moved by it: a plain read starts at 0.
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  // ReadFileEx: the routine runs in the next alertable wait.
  OVERLAPPED ex = {};
  ex.Offset = size / 2;
  ok = ReadFileEx(h, buffer.data(), 64, &ex, &Completed);
  const DWORD before = static_cast<DWORD>(reinterpret_cast<uintptr_t>(ex.hEvent));
  const DWORD slept = SleepEx(2000, TRUE);
  Print("  readex: %d before %lu, slept %s, routine %lu, hash %016llx\n", ok, before,
        slept == WAIT_IO_COMPLETION ? "io" : "timeout",
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(ex.hEvent)),
        Hash(buffer.data(), size / 2 + 64 <= size ? 64 : size - size / 2));

  // A duplicate shares the position and is closed on its own.
  HANDLE copy = nullptr;
  ok = DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS);
  if (ok) {
    char first[10];
    DWORD first_count = 0;
    ReadFile(copy, first, sizeof first, &first_count, nullptr);
    const DWORD shared = SetFilePointer(h, 0, nullptr, FILE_CURRENT);
    CloseHandle(copy);
    const std::string rest = ReadAll(h);
    Print("  duplicate: 1 read %lu, shared position %lu, after close %zu bytes hash %016llx\n",
          first_count, shared, rest.size(), Hash(rest));
  } else {
    Print("  duplicate: 0 error %lu\n", GetLastError());
  }

  // A read-only mapping shows the bytes; a writable one is refused.
  HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
  error = mapping == nullptr ? GetLastError() : 0;
  if (mapping != nullptr) {
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    void* writable = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    Print("  mapping: view %d hash %016llx, writable view %d\n", view != nullptr,
          view != nullptr ? Hash(view, size) : 0ULL, writable != nullptr);
    if (view != nullptr) UnmapViewOfFile(view);
    if (writable != nullptr) UnmapViewOfFile(writable);
    CloseHandle(mapping);
  } else {
    Print("  mapping: none, error %lu\n", error);
  }
  HANDLE named = CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
  Print("  mapping A: %d\n", named != nullptr);
  if (named != nullptr) CloseHandle(named);
  mapping = CreateFileMappingW(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  Print("  writable mapping: %d error %lu\n", mapping != nullptr,
        mapping == nullptr ? GetLastError() : 0);
  if (mapping != nullptr) CloseHandle(mapping);

  // Writing calls are refused as on a read-only handle.
  DWORD wrote = 0;
  ok = WriteFile(h, "x", 1, &wrote, nullptr);
  error = ok ? 0 : GetLastError();
  // SetEndOfFile fails on both; its code is not compared: Windows answers a
  // read-only handle with ERROR_ACCESS_DENIED, as the overlay does, where
  // Wine answers ERROR_INVALID_HANDLE.
  const BOOL truncated = SetEndOfFile(h);
  Print("  write: %d error %lu wrote %lu; set end %d\n", ok, error, wrote, truncated);
  CloseHandle(h);
}

void ReportAnsi(const std::wstring& path) {
  const std::string narrow = Narrow(path, CP_ACP);
  HANDLE h = CreateFileA(narrow.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    const std::string data = ReadAll(h);
    Print("  CreateFileA: %zu bytes hash %016llx\n", data.size(), Hash(data));
    CloseHandle(h);
  } else {
    Print("  CreateFileA: error %lu\n", GetLastError());
  }
  const DWORD attributes = GetFileAttributesA(narrow.c_str());
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  const BOOL ex = GetFileAttributesExA(narrow.c_str(), GetFileExInfoStandard, &data);
  Print("  GetFileAttributesA: %s readonly %d; ex %d size %lu\n",
        attributes == INVALID_FILE_ATTRIBUTES ? "invalid" : "valid",
        (attributes & FILE_ATTRIBUTE_READONLY) != 0, ex, data.nFileSizeLow);
  WIN32_FIND_DATAA found = {};
  HANDLE find = FindFirstFileA(narrow.c_str(), &found);
  Print("  FindFirstFileA: %s size %lu\n", find == INVALID_HANDLE_VALUE ? "none" : found.cFileName,
        found.nFileSizeLow);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  find =
      FindFirstFileExA(narrow.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  Print("  FindFirstFileExA: %s\n", find == INVALID_HANDLE_VALUE ? "none" : found.cFileName);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  WIN32_FIND_DATAW wfound = {};
  find = FindFirstFileW(path.c_str(), &wfound);
  Print("  FindFirstFileW: %s size %lu\n",
        find == INVALID_HANDLE_VALUE ? "none" : Narrow(wfound.cFileName).c_str(),
        wfound.nFileSizeLow);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  // The file is among its directory's listing, walked with the ANSI forms.
  const std::string base = Narrow(BaseName(path), CP_ACP);
  int listed = 0;
  find = FindFirstFileA((Narrow(DirectoryOf(path), CP_ACP) + "\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (_stricmp(found.cFileName, base.c_str()) == 0) ++listed;
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  Print("  listed by FindNextFileA: %d\n", listed);
  // SearchPathA with the directory as the path list and the bare name, as
  // OpenFile searches; the answer's file part names the file found.
  char found_path[MAX_PATH] = {};
  char* file_part = nullptr;
  const DWORD searched =
      SearchPathA(nullptr, narrow.c_str(), nullptr, MAX_PATH, found_path, &file_part);
  Print("  SearchPathA: %s\n",
        searched == 0 || file_part == nullptr
            ? "none"
            : (_stricmp(file_part, base.c_str()) == 0 ? "the file" : file_part));
  // CreateFile2 (Windows 8 and later; looked up, since the program also
  // runs where it is missing).
  using CreateFile2Function = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, DWORD, void*);
  auto create_file2 = reinterpret_cast<CreateFile2Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFile2")));
  if (create_file2 != nullptr) {
    h = create_file2(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      const std::string bytes = ReadAll(h);
      Print("  CreateFile2: %zu bytes hash %016llx\n", bytes.size(), Hash(bytes));
      CloseHandle(h);
    } else {
      Print("  CreateFile2: error %lu\n", GetLastError());
    }
  }
}

void ReportIni(const std::wstring& path) {
  WCHAR value[256] = {};
  DWORD n = GetPrivateProfileStringW(L"title", L"caption", L"(default)", value, 256, path.c_str());
  Print("  profile caption: %lu %s\n", n, Narrow(value).c_str());
  n = GetPrivateProfileStringW(L"menu", L"quit", L"(default)", value, 256, path.c_str());
  Print("  profile quit: %lu %s\n", n, Narrow(value).c_str());
  WCHAR sections[256] = {};
  n = GetPrivateProfileSectionNamesW(sections, 256, path.c_str());
  Print("  profile sections: %lu %s\n", n, Narrow(sections).c_str());
}

void ReportBitmap(const std::wstring& path) {
  HANDLE image =
      LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION);
  if (image == nullptr) {
    Print("  LoadImageW: failed, error %lu\n", GetLastError());
    return;
  }
  DIBSECTION dib = {};
  const int got = GetObjectW(image, sizeof dib, &dib);
  const size_t bytes = static_cast<size_t>(dib.dsBm.bmWidthBytes) * dib.dsBm.bmHeight;
  Print("  LoadImageW: %d %ldx%ld bpp %u hash %016llx\n", got != 0, dib.dsBm.bmWidth,
        dib.dsBm.bmHeight, dib.dsBm.bmBitsPixel,
        dib.dsBm.bmBits != nullptr ? Hash(dib.dsBm.bmBits, bytes) : 0ULL);
  DeleteObject(image);
}

void ReportDecoder(const std::wstring& path) {
  IWICImagingFactory* factory = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    Print("  decoder: no factory 0x%08lx\n", hr);
    return;
  }
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICFormatConverter* converter = nullptr;
  hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                          WICDecodeMetadataCacheOnDemand, &decoder);
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, &frame);
  if (SUCCEEDED(hr)) hr = factory->CreateFormatConverter(&converter);
  if (SUCCEEDED(hr)) {
    hr = converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                               nullptr, 0.0, WICBitmapPaletteTypeCustom);
  }
  UINT width = 0, height = 0;
  std::vector<BYTE> pixels;
  if (SUCCEEDED(hr)) hr = converter->GetSize(&width, &height);
  if (SUCCEEDED(hr)) {
    pixels.resize(static_cast<size_t>(width) * height * 4);
    hr = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size()), pixels.data());
  }
  Print("  decoder: 0x%08lx %ux%u hash %016llx\n", hr, width, height,
        Hash(pixels.data(), pixels.size()));
  if (converter != nullptr) converter->Release();
  if (frame != nullptr) frame->Release();
  if (decoder != nullptr) decoder->Release();
  factory->Release();
}

void ReportSound(const std::wstring& path) {
  std::wstring name = path;
  HMMIO mmio = mmioOpenW(name.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF);
  if (mmio == nullptr) {
    Print("  mmio: cannot open\n");
    return;
  }
  MMCKINFO riff = {}, chunk = {};
  riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  MMRESULT r = mmioDescend(mmio, &riff, nullptr, MMIO_FINDRIFF);
  chunk.ckid = mmioFOURCC('f', 'm', 't', ' ');
  if (r == 0) r = mmioDescend(mmio, &chunk, &riff, MMIO_FINDCHUNK);
  PCMWAVEFORMAT format = {};
  if (r == 0 && mmioRead(mmio, reinterpret_cast<HPSTR>(&format), sizeof format) != sizeof format) {
    r = 1;
  }
  if (r == 0) r = mmioAscend(mmio, &chunk, 0);
  chunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
  if (r == 0) r = mmioDescend(mmio, &chunk, &riff, MMIO_FINDCHUNK);
  std::string samples(r == 0 ? chunk.cksize : 0, '\0');
  LONG got = r == 0 ? mmioRead(mmio, samples.data(), static_cast<LONG>(samples.size())) : -1;
  Print("  mmio: %u rate %lu bits %u data %ld hash %016llx\n", r, format.wf.nSamplesPerSec,
        format.wBitsPerSample, got, Hash(samples));
  mmioClose(mmio, 0);
}

void Report(const std::wstring& path) {
  Print("file %s\n", Narrow(BaseName(path)).c_str());
  ReportCrt(path);
  ReportStream(path);
  ReportHandle(path);
  ReportAnsi(path);
  if (EndsWith(path, L".ini")) ReportIni(path);
  if (EndsWith(path, L".bmp")) ReportBitmap(path);
  if (EndsWith(path, L".bmp") || EndsWith(path, L".png")) ReportDecoder(path);
  if (EndsWith(path, L".wav")) ReportSound(path);
}

}  // namespace

extern "C" DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) { return a + b + c + d; }
extern "C" DWORD WINAPI GameEntry(DWORD, DWORD, DWORD, DWORD);

int wmain(int argc, wchar_t** argv) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool reporting = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring command = argv[i];
    const std::wstring next = i + 1 < argc ? argv[i + 1] : L"";
    if (reporting) {
      Report(command);
    } else if (command == L"files") {
      if (!Files(next)) {
        Print("cannot write the test files\n");
        return 1;
      }
      ++i;
    } else if (command == L"load") {
      if (LoadLibraryW(next.c_str()) == nullptr) {
        Print("load %s: failed\n", Narrow(next).c_str());
        return 1;
      }
      ++i;
    } else if (command == L"entry") {
      auto* entry = reinterpret_cast<decltype(&GameEntry)>(
          reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x12A090);
      if (entry(1, 2, 3, 4) != 10) return 1;
    } else if (command == L"codepage") {
      // The code pages in force, and the memory file "acp" read through
      // the ANSI form from the current (game) directory.
      Print("code pages: ansi %u oem %u\n", GetACP(), GetOEMCP());
      HANDLE h =
          CreateFileA("acp", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      Print("acp file: %s\n", h == INVALID_HANDLE_VALUE ? "missing" : ReadAll(h).c_str());
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    } else if (command == L"report") {
      reporting = true;
    } else {
      Print("unknown command %s\n", Narrow(command).c_str());
      return 2;
    }
  }
  return 0;
}
