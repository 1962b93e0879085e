// The overlay's answers to the path functions, shared by every form of each
// function (wide, ANSI, CreateFile2).
//
// Each takes the path as UTF-16, the name of the calling form for the log,
// and `pass`, which runs the caller's own form of the real function with the
// caller's own arguments. A path that neither the loose folder nor an
// archive answers is passed on through `pass`, and its result and last error
// reach the caller untouched; only a directory that exists only in the
// archives (or the loose folder) is given after the system has found nothing.
#pragma once

#include <windows.h>

#include "overlay/guarded_answer.h"
#include "overlay/loose_answers.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"

// Access, sharing and disposition are not examined: an overlaid path always
// opens read-only and nothing is ever created on disk for it. Of the flags,
// only FILE_FLAG_OVERLAPPED counts (for reads at an offset). The same holds
// for a file of the loose folder, which opens read-only.
template <typename Pass>
HANDLE CreateFileAnswer(const char* function, LPCWSTR file_name, DWORD flags, Pass pass) {
  HANDLE loose = INVALID_HANDLE_VALUE;
  if (const LooseFolder* folder = HostRegistry().Loose();
      folder != nullptr && LooseCreateFile(*folder, file_name, flags, &loose)) {
    return loose;
  }
  if (file_name != nullptr &&
      LogPathLookup(function, file_name, HostRegistry().Exists(file_name))) {
    return KeepingLastError(INVALID_HANDLE_VALUE,
                            [&] { return HostRegistry().OpenOwn(file_name, flags); });
  }
  return pass();
}

// A directory that archives (or the loose folder) alone hold is a directory
// to the attribute queries too, as listings show it; one that exists on disk
// keeps the system's answer. So the overlay looks for such a directory only
// when the system has found nothing, and its answer then leaves the last
// error as it was before the call.
template <typename Pass>
DWORD AttributesAnswer(const char* function, LPCWSTR file_name, Pass pass) {
  const LooseFolder* folder = HostRegistry().Loose();
  DWORD loose = INVALID_FILE_ATTRIBUTES;
  if (folder != nullptr && LooseFileAttributes(*folder, file_name, &loose)) return loose;
  if (file_name != nullptr &&
      LogPathLookup(function, file_name, HostRegistry().Exists(file_name))) {
    return static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  }
  const DWORD error = GetLastError();
  const DWORD real = pass();
  if (real != INVALID_FILE_ATTRIBUTES || file_name == nullptr) return real;
  if (HostRegistry().IsArchiveDirectory(file_name)) {
    SetLastError(error);
    return static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  BOOL found = FALSE;
  if (folder != nullptr &&
      LooseDirectoryAttributesEx(*folder, file_name, GetFileExInfoStandard, &data, &found) &&
      found) {
    SetLastError(error);
    return data.dwFileAttributes;
  }
  return real;
}

template <typename Pass>
BOOL AttributesExAnswer(const char* function, LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level,
                        LPVOID information, Pass pass) {
  const LooseFolder* folder = HostRegistry().Loose();
  BOOL loose = FALSE;
  if (folder != nullptr && LooseFileAttributesEx(*folder, file_name, level, information, &loose)) {
    return loose;
  }
  if (file_name != nullptr &&
      LogPathLookup(function, file_name, HostRegistry().Exists(file_name))) {
    return KeepingLastError(
        FALSE, [&] { return HostRegistry().AttributesExOwn(file_name, level, information); });
  }
  const DWORD error = GetLastError();
  const BOOL real = pass();
  if (real || file_name == nullptr) return real;
  if (HostRegistry().IsArchiveDirectory(file_name)) {
    SetLastError(error);
    return HostRegistry().DirectoryAttributesExOwn(file_name, level, information);
  }
  const DWORD real_error = GetLastError();
  if (folder != nullptr &&
      LooseDirectoryAttributesEx(*folder, file_name, level, information, &loose)) {
    if (loose) SetLastError(error);
    return loose;
  }
  SetLastError(real_error);
  return real;
}
