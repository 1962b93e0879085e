// The replacements of the thirteen file functions the patch has always
// redirected (the handle functions added beside them are in
// hooked_handle_functions.h).
//
// Each has the exact signature and calling convention of the function it
// replaces and makes one routing test: its own handle, an overlaid path, or a
// live find session. Everything else goes through the function's HookTable
// slot with unchanged arguments, and the real result and last error reach the
// caller untouched. They may run on any thread at once; what they share lives
// in the process-wide OverlayRegistry and FindSessionSet.
#pragma once

#include <windows.h>

HANDLE WINAPI HookedCreateFileW(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file);
BOOL WINAPI HookedReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read,
                           LPOVERLAPPED overlapped);
BOOL WINAPI HookedCloseHandle(HANDLE handle);
DWORD WINAPI HookedGetFileSize(HANDLE file, LPDWORD size_high);
BOOL WINAPI HookedGetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
DWORD WINAPI HookedSetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
BOOL WINAPI HookedSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                                   DWORD method);
DWORD WINAPI HookedGetFileType(HANDLE file);
DWORD WINAPI HookedGetFileAttributesW(LPCWSTR file_name);
BOOL WINAPI HookedGetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information);
HANDLE WINAPI HookedFindFirstFileExW(LPCWSTR file_name, FINDEX_INFO_LEVELS info_level,
                                     LPVOID find_data, FINDEX_SEARCH_OPS search_op,
                                     LPVOID search_filter, DWORD additional_flags);
BOOL WINAPI HookedFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data);
BOOL WINAPI HookedFindClose(HANDLE find);
