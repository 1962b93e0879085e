// The replacement of SearchPathW, the path query by which the system's
// older file-opening routes (OpenFile, and through it the multimedia
// library's mmioOpen) test whether a file exists before opening it. Those
// routes ask the system's lower layer directly, which knows nothing of the
// archives; answering here lets them go on to CreateFile, which the overlay
// serves.
//
// An overlaid file (in an archive or the loose folder) is found when the name (with the default
// extension, when it has none) names it: a name with a directory part as it stands, a bare name in
// the current directory when no search path is given, and a bare name in the first folder of an
// explicit path list where the game would see it. Every other search passes to the system
// unchanged.
#pragma once

#include <windows.h>

#include <string>

// Whether a search for `file_name` (with `extension`, when it has none) under
// `path` finds an overlaid file as the overlay answers it; `name` then holds
// the name it looked for. `function` names the caller's form for the log.
bool OverlaidSearchName(const char* function, LPCWSTR path, LPCWSTR file_name, LPCWSTR extension,
                        WCHAR (&name)[MAX_PATH + 1]);

// The path under which CreateFileW serves an overlaid `name`: the name
// itself when it is drive-absolute or UNC, otherwise the name under the game
// directory (relative names are the game directory's, not the current
// directory's). False when the game directory cannot be converted.
bool ServedPath(const WCHAR* name, std::wstring* served);

DWORD WINAPI HookedSearchPathW(LPCWSTR path, LPCWSTR file_name, LPCWSTR extension, DWORD length,
                               LPWSTR buffer, LPWSTR* file_part);
