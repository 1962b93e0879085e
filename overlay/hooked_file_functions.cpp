#include "overlay/hooked_file_functions.h"

#include "overlay/find_session.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"

HANDLE WINAPI HookedCreateFileW(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
  // Access, sharing, disposition and flags are not examined: an overlaid path
  // always opens read-only and nothing is ever created on disk for it.
  if (file_name != nullptr &&
      LogPathLookup("CreateFileW", file_name, HostRegistry().Exists(file_name))) {
    return HostRegistry().OpenOwn(file_name);
  }
  return RealFunctions().CreateFileW(file_name, access, share_mode, security, disposition, flags,
                                     template_file);
}

BOOL WINAPI HookedReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read,
                           LPOVERLAPPED overlapped) {
  if (HostRegistry().IsOwnHandle(file)) {
    if (overlapped != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return HostRegistry().ReadOwn(file, buffer, count, count_read);
  }
  return RealFunctions().ReadFile(file, buffer, count, count_read, overlapped);
}

BOOL WINAPI HookedCloseHandle(HANDLE handle) {
  if (HostRegistry().IsOwnHandle(handle)) {
    HostRegistry().CloseOwn(handle);
    return TRUE;
  }
  return RealFunctions().CloseHandle(handle);
}

DWORD WINAPI HookedGetFileSize(HANDLE file, LPDWORD size_high) {
  if (HostRegistry().IsOwnHandle(file)) return HostRegistry().SizeOwn(file, size_high);
  return RealFunctions().GetFileSize(file, size_high);
}

BOOL WINAPI HookedGetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  if (HostRegistry().IsOwnHandle(file)) return HostRegistry().SizeOwn(file, size);
  return RealFunctions().GetFileSizeEx(file, size);
}

DWORD WINAPI HookedSetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  if (HostRegistry().IsOwnHandle(file)) {
    return HostRegistry().SetPointerOwn(file, distance, distance_high, method);
  }
  return RealFunctions().SetFilePointer(file, distance, distance_high, method);
}

BOOL WINAPI HookedSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                                   DWORD method) {
  if (HostRegistry().IsOwnHandle(file)) {
    return HostRegistry().SetPointerExOwn(file, distance, new_position, method);
  }
  return RealFunctions().SetFilePointerEx(file, distance, new_position, method);
}

DWORD WINAPI HookedGetFileType(HANDLE file) {
  if (HostRegistry().IsOwnHandle(file)) return FILE_TYPE_DISK;
  return RealFunctions().GetFileType(file);
}

DWORD WINAPI HookedGetFileAttributesW(LPCWSTR file_name) {
  if (file_name != nullptr &&
      LogPathLookup("GetFileAttributesW", file_name, HostRegistry().Exists(file_name))) {
    return FILE_ATTRIBUTE_READONLY;
  }
  return RealFunctions().GetFileAttributesW(file_name);
}

BOOL WINAPI HookedGetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information) {
  if (file_name != nullptr &&
      LogPathLookup("GetFileAttributesExW", file_name, HostRegistry().Exists(file_name))) {
    return HostRegistry().AttributesExOwn(file_name, level, information);
  }
  return RealFunctions().GetFileAttributesExW(file_name, level, information);
}

BOOL WINAPI HookedFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data) {
  if (HostFindSessions().Contains(find)) {
    bool exhausted = false;
    if (HostFindSessions().Next(find, find_data, &exhausted)) return TRUE;
    if (exhausted) {
      SetLastError(ERROR_NO_MORE_FILES);
      return FALSE;
    }
    // Closed by another thread between the two calls: the handle is gone.
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return RealFunctions().FindNextFileW(find, find_data);
}

BOOL WINAPI HookedFindClose(HANDLE find) {
  if (HostFindSessions().Close(find)) return TRUE;
  return RealFunctions().FindClose(find);
}
