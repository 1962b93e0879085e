// The name patterns of directory searches, matched as the system matches
// them for FindFirstFile: "*" stands for any run of characters (none
// included), "?" for exactly one, and every other character for itself,
// letters compared without regard to case as the file system compares
// names. "*.*" matches every name, with or without an extension, and a
// pattern ending in ".*" also matches the name without that extension, as
// the system's searches have always done. No other character is special:
// ';', ',', '+', '=', '[', ']', blanks and the rest are legal in names and
// match themselves (unlike the shell's pattern lists, where ';' separates
// patterns). Plain functions, safe on any thread.
#pragma once

#include <windows.h>

bool MatchesSearchPattern(const WCHAR* name, const WCHAR* pattern);
