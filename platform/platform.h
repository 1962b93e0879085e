// The one seam between the portable layers (text conversions, path strings,
// read streams, the archive format) and Windows.
//
// On Windows this header only includes the system headers: the portable code
// calls MultiByteToWideChar, WideCharToMultiByte, GetACP, GetOEMCP,
// GetFullPathNameW/A and the runtime's _wsopen_s/_sopen_s/_fdopen/_fseeki64/
// _ftelli64 directly, exactly as on the target.
//
// The native Linux build (used for sanitizer runs) gets small stand-ins with
// the same names and contracts: strict UTF-8 <-> UTF-16 conversion, code
// pages 437 (OEM) and 1252 (ANSI) treated as one byte per character, files
// opened with open(2) from UTF-8 paths. They exist so that the same sources
// compile and behave the same way on both sides; they are not a Windows
// emulation beyond what these layers use.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#else
#include <cstdint>
#include <cstdio>

using WCHAR = char16_t;
using BOOL = int;
using UINT = unsigned int;
using DWORD = std::uint32_t;
using LPCCH = const char*;
using LPBOOL = BOOL*;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

constexpr int _O_RDONLY = 0;
constexpr int _O_BINARY = 0;
constexpr int _SH_DENYWR = 0x20;

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* text, int length, WCHAR* out,
                        int out_length);
int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* text, int length, char* out,
                        int out_length, const char* default_char, BOOL* used_default);
UINT GetACP();
UINT GetOEMCP();
DWORD GetFullPathNameW(const WCHAR* path, DWORD length, WCHAR* buffer, WCHAR** file_part);
DWORD GetFullPathNameA(const char* path, DWORD length, char* buffer, char** file_part);
void SetLastError(DWORD code);
DWORD GetLastError();

int _wsopen_s(int* fd, const WCHAR* path, int open_flags, int share_flags, int permission);
int _sopen_s(int* fd, const char* path, int open_flags, int share_flags, int permission);
std::FILE* _fdopen(int fd, const char* mode);
int _close(int fd);
int _fseeki64(std::FILE* file, std::int64_t offset, int origin);
std::int64_t _ftelli64(std::FILE* file);
#endif

#include <string>

// UTF-16 text at the boundary to Windows functions.
using WideString = std::basic_string<WCHAR>;
