// What the handle queries answer for an overlay handle: the answers a
// read-only handle to a disk file at the overlaid path would give, built from
// what the registry tells about the open file (OverlayRegistry::DescribeOwn).
//
// The file is read-only, its three times are the archive's time (the memory
// file's for "acp"), its volume is the game directory's, and its path is the
// overlaid path under the game directory. Each function takes an own handle
// of `registry` and answers exactly as the system function it stands for:
// result, output and last error on failure. Successful answers may touch the
// last error on the way (volume queries); the replacements restore it.
// Plain functions, safe on any thread.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"

class OverlayRegistry;

BOOL OwnFileInformation(const OverlayRegistry& registry, HANDLE file,
                        BY_HANDLE_FILE_INFORMATION* information);

// Describes FileBasicInfo, FileStandardInfo, FileNameInfo,
// FileAttributeTagInfo and FileIdInfo. Every other class gets the system's
// answer for a disk file whose file system cannot describe it in that class:
// ERROR_INVALID_PARAMETER for the classes that set information or list a
// directory, ERROR_INVALID_FUNCTION for streams, compression and alignment,
// ERROR_CALL_NOT_IMPLEMENTED for the rest.
BOOL OwnFileInformationEx(const OverlayRegistry& registry, HANDLE file,
                          FILE_INFO_BY_HANDLE_CLASS information_class, void* information,
                          DWORD size);

// Any of the three may be null.
BOOL OwnFileTime(const OverlayRegistry& registry, HANDLE file, FILETIME* creation,
                 FILETIME* last_access, FILETIME* last_write);

// The overlaid path in the form `flags` asks for: VOLUME_NAME_DOS
// ("\\?\D:\Game\data\a.txt"), VOLUME_NAME_GUID, VOLUME_NAME_NT or
// VOLUME_NAME_NONE ("\Game\data\a.txt"); FILE_NAME_OPENED names the same
// path. The count and return value follow GetFinalPathNameByHandleW: the
// length without the terminator on success, the size needed with it when
// `count` is too small.
DWORD OwnFinalPathW(const OverlayRegistry& registry, HANDLE file, WCHAR* path, DWORD count,
                    DWORD flags);
// The same path in the code page of the file functions (ANSI or OEM).
DWORD OwnFinalPathA(const OverlayRegistry& registry, HANDLE file, char* path, DWORD count,
                    DWORD flags);
