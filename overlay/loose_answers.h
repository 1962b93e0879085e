// What the path-based replacements answer from the loose folder
// (loose_folder.h), which wins over every archive.
//
// Each function takes the game's path, derives its key as for an archive
// entry and asks the folder. True means the folder answered and the
// replacement returns that answer; false sends the call on to the archives
// and the disk as if there were no folder: nothing of that name in the
// folder, or something the folder refuses to serve (a link that leads out of
// it, a name an archive would not match), which the log then names.
//
// A file the folder holds is the game's as a disk file is: a real handle,
// opened for reading, with the file's own attributes, size and times. A
// file that is there but cannot be opened gives the game the system's error,
// and the log says why. Successful answers leave the caller's last error as
// it was, as the archives' answers do. Safe on any thread.
#pragma once

#include <windows.h>

class LooseFolder;

// CreateFileW: `*handle` is the loose file's handle, or INVALID_HANDLE_VALUE
// with the system's error when it will not open.
bool LooseCreateFile(const LooseFolder& folder, const WCHAR* path, DWORD flags, HANDLE* handle);

// GetFileAttributesW of a file of the folder.
bool LooseFileAttributes(const LooseFolder& folder, const WCHAR* path, DWORD* attributes);

// GetFileAttributesExW of a file of the folder; `*result` is the call's.
bool LooseFileAttributesEx(const LooseFolder& folder, const WCHAR* path,
                           GET_FILEEX_INFO_LEVELS level, void* information, BOOL* result);

// Whether the folder holds a file of that path (SearchPathW).
bool LooseHasFile(const LooseFolder& folder, const char* function, const WCHAR* path);

// GetFileAttributesExW of a directory of the folder, asked when neither the
// disk nor the archives have it; `*result` is the call's.
bool LooseDirectoryAttributesEx(const LooseFolder& folder, const WCHAR* path,
                                GET_FILEEX_INFO_LEVELS level, void* information, BOOL* result);
