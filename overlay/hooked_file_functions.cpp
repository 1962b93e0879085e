#include "overlay/hooked_file_functions.h"

#include "startup/process_globals.h"

HANDLE WINAPI HookedCreateFileW(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
  // Access, sharing, disposition and flags are not examined: an overlaid path
  // always opens read-only and nothing is ever created on disk for it.
  if (file_name != nullptr && TheOverlay().Exists(file_name)) {
    return TheOverlay().OpenOwn(file_name);
  }
  return TheHookTable().CreateFileW(file_name, access, share_mode, security, disposition, flags,
                                    template_file);
}

BOOL WINAPI HookedReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read,
                           LPOVERLAPPED overlapped) {
  if (TheOverlay().IsOwnHandle(file)) {
    if (overlapped != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return TheOverlay().ReadOwn(file, buffer, count, count_read);
  }
  return TheHookTable().ReadFile(file, buffer, count, count_read, overlapped);
}

BOOL WINAPI HookedCloseHandle(HANDLE handle) {
  if (TheOverlay().IsOwnHandle(handle)) {
    TheOverlay().CloseOwn(handle);
    return TRUE;
  }
  return TheHookTable().CloseHandle(handle);
}

DWORD WINAPI HookedGetFileSize(HANDLE file, LPDWORD size_high) {
  if (TheOverlay().IsOwnHandle(file)) return TheOverlay().SizeOwn(file, size_high);
  return TheHookTable().GetFileSize(file, size_high);
}

BOOL WINAPI HookedGetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  if (TheOverlay().IsOwnHandle(file)) return TheOverlay().SizeOwn(file, size);
  return TheHookTable().GetFileSizeEx(file, size);
}

DWORD WINAPI HookedSetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  if (TheOverlay().IsOwnHandle(file)) {
    return TheOverlay().SetPointerOwn(file, distance, distance_high, method);
  }
  return TheHookTable().SetFilePointer(file, distance, distance_high, method);
}

BOOL WINAPI HookedSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                                   DWORD method) {
  if (TheOverlay().IsOwnHandle(file)) {
    return TheOverlay().SetPointerExOwn(file, distance, new_position, method);
  }
  return TheHookTable().SetFilePointerEx(file, distance, new_position, method);
}

DWORD WINAPI HookedGetFileType(HANDLE file) {
  if (TheOverlay().IsOwnHandle(file)) return FILE_TYPE_DISK;
  return TheHookTable().GetFileType(file);
}

DWORD WINAPI HookedGetFileAttributesW(LPCWSTR file_name) {
  if (file_name != nullptr && TheOverlay().Exists(file_name)) return FILE_ATTRIBUTE_READONLY;
  return TheHookTable().GetFileAttributesW(file_name);
}

BOOL WINAPI HookedGetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information) {
  if (file_name != nullptr && TheOverlay().Exists(file_name)) {
    return TheOverlay().AttributesExOwn(file_name, level, information);
  }
  return TheHookTable().GetFileAttributesExW(file_name, level, information);
}

BOOL WINAPI HookedFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data) {
  if (TheFindSessions().Contains(find)) {
    bool exhausted = false;
    if (TheFindSessions().Next(find, find_data, &exhausted)) return TRUE;
    if (exhausted) {
      SetLastError(ERROR_NO_MORE_FILES);
      return FALSE;
    }
    // Closed by another thread between the two calls: the handle is gone.
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TheHookTable().FindNextFileW(find, find_data);
}

BOOL WINAPI HookedFindClose(HANDLE find) {
  if (TheFindSessions().Close(find)) return TRUE;
  return TheHookTable().FindClose(find);
}
