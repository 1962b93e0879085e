// The ANSI side of the path functions: paths the game passes as bytes in the
// code page of the file functions, and find records handed back in that
// form.
//
// The ANSI file functions read and write paths in the ANSI code page, or in
// the OEM code page once the process has called SetFileApisToOEM ("File
// Names, Paths, and Namespaces" and "AreFileApisANSI function", Microsoft
// Learn). A path whose bytes are not valid in that code page is never
// guessed at: the call goes to the system as it stands. Names going back are
// converted as the system converts them, a character the code page lacks
// becoming its default character. Plain functions, safe on any thread; a
// lack of memory throws std::bad_alloc (the replacements catch it).
#pragma once

#include <windows.h>

#include <string>

// The code page the ANSI file functions use now.
UINT FileApiCodePage();

// `path` in UTF-16. False for a null path or bytes that do not convert
// cleanly.
bool AnsiPathToWide(const char* path, std::wstring* wide);

// `wide` in the file functions' code page, strictly; false when a character
// has no form there.
bool WidePathToAnsi(const WCHAR* wide, std::string* ansi);

// The ANSI form of a find record: every field copied, both names converted.
void FindRecordToAnsi(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA* ansi);
