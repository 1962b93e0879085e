// The replacements of the handle functions that answer for overlay handles
// as the system answers for a read-only handle to a disk file holding the
// same bytes: information and time queries, the final path, reads at an
// offset (ReadFileEx; ReadFile with an OVERLAPPED structure is HookedReadFile),
// duplicated handles, file mappings, and the writing calls, which are
// refused with ERROR_ACCESS_DENIED so that nothing reaches the archive.
//
// Like the thirteen of hooked_file_functions.h, each has the exact signature
// of the function it replaces, makes one routing test (an own handle), and
// passes every other call through its HookTable slot with unchanged
// arguments, returning the real result and last error untouched; nothing is
// allocated on that path. A successful overlay answer leaves the last error
// as the caller had it, unless the system's own function sets it on success
// (CreateFileMappingW does).
#pragma once

#include <windows.h>

BOOL WINAPI HookedGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL WINAPI HookedGetFileInformationByHandleEx(HANDLE file,
                                               FILE_INFO_BY_HANDLE_CLASS information_class,
                                               LPVOID information, DWORD size);
BOOL WINAPI HookedGetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                              LPFILETIME last_write);
DWORD WINAPI HookedGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD count, DWORD flags);
DWORD WINAPI HookedGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD count, DWORD flags);
BOOL WINAPI HookedReadFileEx(HANDLE file, LPVOID buffer, DWORD count, LPOVERLAPPED overlapped,
                             LPOVERLAPPED_COMPLETION_ROUTINE completion);
BOOL WINAPI HookedDuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                  LPHANDLE target, DWORD access, BOOL inherit, DWORD options);
HANDLE WINAPI HookedCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                       DWORD size_high, DWORD size_low, LPCWSTR name);
HANDLE WINAPI HookedCreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                       DWORD size_high, DWORD size_low, LPCSTR name);
BOOL WINAPI HookedWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written,
                            LPOVERLAPPED overlapped);
BOOL WINAPI HookedWriteFileEx(HANDLE file, LPCVOID buffer, DWORD count, LPOVERLAPPED overlapped,
                              LPOVERLAPPED_COMPLETION_ROUTINE completion);
BOOL WINAPI HookedSetEndOfFile(HANDLE file);
BOOL WINAPI HookedFlushFileBuffers(HANDLE file);
BOOL WINAPI HookedSetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                              const FILETIME* last_write);
BOOL WINAPI HookedSetFileInformationByHandle(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS information_class,
                                             LPVOID information, DWORD size);
