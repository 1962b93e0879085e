/* Included before each of Wine's conformance test files (which are built
   unchanged): what those files take from Wine's own headers and mingw-w64's
   headers lack or spell differently. */
#pragma once

/* Built as Wine builds them: the newest interfaces, ANSI names for the A/W
   macros, and the whole of windows.h; the project's own settings for its
   sources are not theirs. */
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#undef UNICODE
#undef _UNICODE
#undef WIN32_LEAN_AND_MEAN

#include <windef.h>
/* Wine's headers name the member of FILE_DISPOSITION_INFO DeleteFile with
   the A/W macro out of the way; mingw-w64 declares the structure after the
   macro, which renames the member. Declare it without the macro. */
#include <fileapi.h>
#undef DeleteFile
#include <winbase.h>
#include <wingdi.h> /* LF_FACESIZE, which wincon.h uses */
#include <wincon.h>
#include <winternl.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

/* The current directory record of the process parameters, which Wine's
   winternl.h declares and mingw-w64's does not. */
typedef struct _CURDIR {
  UNICODE_STRING DosPath;
  PVOID Handle;
} CURDIR, *PCURDIR;
