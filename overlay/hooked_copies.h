// The replacements of the file copies and of the compressed-size query.
//
// The system copies a file below the functions the patch redirects (on
// Windows the whole copy runs in the kernel), so a copy of a file that only
// an archive or the loose folder holds would find nothing. A copy whose
// source is overlaid is made here instead: the bytes the game reads from
// that path are written to the real destination, with the answers the
// system gives when it copies a read-only disk file (existing destination,
// fail-if-exists, progress routine, cancel). Every other copy reaches the
// system untouched.
//
// The progress routine is game code: it runs with the thread's mark lifted
// (redirect_depth.h), so the file calls it makes are answered as the game's
// own. Safe on any thread; no state of their own.
#pragma once

#include <windows.h>

BOOL WINAPI HookedCopyFileW(LPCWSTR source, LPCWSTR destination, BOOL fail_if_exists);
BOOL WINAPI HookedCopyFileA(LPCSTR source, LPCSTR destination, BOOL fail_if_exists);
BOOL WINAPI HookedCopyFileExW(LPCWSTR source, LPCWSTR destination, LPPROGRESS_ROUTINE progress,
                              LPVOID data, LPBOOL cancel, DWORD flags);
BOOL WINAPI HookedCopyFileExA(LPCSTR source, LPCSTR destination, LPPROGRESS_ROUTINE progress,
                              LPVOID data, LPBOOL cancel, DWORD flags);
HRESULT WINAPI HookedCopyFile2(PCWSTR source, PCWSTR destination,
                               COPYFILE2_EXTENDED_PARAMETERS* parameters);

// The entry's size (an archive file is stored as the game reads it; how the
// archive packs it is no file system's compression).
DWORD WINAPI HookedGetCompressedFileSizeW(LPCWSTR file_name, LPDWORD size_high);
DWORD WINAPI HookedGetCompressedFileSizeA(LPCSTR file_name, LPDWORD size_high);
