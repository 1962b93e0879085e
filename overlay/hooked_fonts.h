// The replacements of the font-file functions of gdi32: adding and removing
// a font resource, in every form (wide, ANSI, with and without flags).
//
// A font file that only an archive or the loose folder holds is added from
// a copy the system can open (font_copies.h), and removing the same path
// removes it; the font is then the process's as if added from disk. Every
// other path, a real font file on disk among them, reaches the system
// untouched, and so do names that list several files ("a.pfm|a.pfb"),
// which no archive holds. Each form is redirected itself, since the system
// does not promise to build one on another. Safe on any thread.
#pragma once

#include <windows.h>

int WINAPI HookedAddFontResourceExW(LPCWSTR name, DWORD flags, PVOID reserved);
int WINAPI HookedAddFontResourceExA(LPCSTR name, DWORD flags, PVOID reserved);
int WINAPI HookedAddFontResourceW(LPCWSTR name);
int WINAPI HookedAddFontResourceA(LPCSTR name);
BOOL WINAPI HookedRemoveFontResourceExW(LPCWSTR name, DWORD flags, PVOID reserved);
BOOL WINAPI HookedRemoveFontResourceExA(LPCSTR name, DWORD flags, PVOID reserved);
BOOL WINAPI HookedRemoveFontResourceW(LPCWSTR name);
BOOL WINAPI HookedRemoveFontResourceA(LPCSTR name);
