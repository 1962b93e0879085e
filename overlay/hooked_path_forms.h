// The replacements of the other forms of the path functions: the ANSI forms,
// CreateFile2 and FindFirstFileW.
//
// Windows does not promise to build these on the wide functions the patch
// has always redirected, and has changed such chains between builds; where
// one is missing, a file that only an archive holds would be "not found" to
// every caller of that form. So each is redirected itself: it converts its
// arguments (ANSI paths in the file functions' code page, ansi_paths.h) and
// answers through the same code as its wide counterpart (path_answers.h).
// A path that the overlay does not answer, or whose bytes do not convert
// cleanly, goes to the caller's own form of the real function with the
// caller's own arguments. Find sessions that any form started are continued
// by FindNextFileA as by FindNextFileW, and closed by FindClose.
//
// Left to the system, with the reasons:
//  - OpenFile and the 16-bit-era _lopen/_lcreat: they search with SearchPath
//    and open through the kernel directly; OpenFile's callers are answered
//    through HookedSearchPathW/A plus CreateFile (the multimedia library
//    opens with CreateFileA);
//  - the transacted forms (CreateFileTransacted, FindFirstFileTransacted,
//    GetFileAttributesTransacted): deprecated, and no game reads through
//    them;
//  - FindFirstFileNameW and FindFirstStreamW: hard links and alternate
//    streams, which no archive file has;
//  - GetLongPathName/GetShortPathName: they resolve names on disk only; an
//    archive file has no short name.
#pragma once

#include <windows.h>

#include "overlay/overlay_host.h"

HANDLE WINAPI HookedCreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file);
HANDLE WINAPI HookedCreateFile2(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                DWORD disposition, CreateFile2Parameters* parameters);
DWORD WINAPI HookedGetFileAttributesA(LPCSTR file_name);
BOOL WINAPI HookedGetFileAttributesExA(LPCSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information);
HANDLE WINAPI HookedFindFirstFileA(LPCSTR file_name, LPWIN32_FIND_DATAA find_data);
HANDLE WINAPI HookedFindFirstFileW(LPCWSTR file_name, LPWIN32_FIND_DATAW find_data);
HANDLE WINAPI HookedFindFirstFileExA(LPCSTR file_name, FINDEX_INFO_LEVELS info_level,
                                     LPVOID find_data, FINDEX_SEARCH_OPS search_op,
                                     LPVOID search_filter, DWORD additional_flags);
BOOL WINAPI HookedFindNextFileA(HANDLE find, LPWIN32_FIND_DATAA find_data);
DWORD WINAPI HookedSearchPathA(LPCSTR path, LPCSTR file_name, LPCSTR extension, DWORD length,
                               LPSTR buffer, LPSTR* file_part);
