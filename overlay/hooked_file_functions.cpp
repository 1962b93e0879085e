#include "overlay/hooked_file_functions.h"

#include "overlay/find_session.h"
#include "overlay/guarded_answer.h"
#include "overlay/overlapped_read.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_answers.h"
#include "overlay/redirect_depth.h"
#include "overlay/caller_buffer.h"

// Each replacement runs its work through GuardedAnswer: should an allocation
// fail on the way, the game gets the function's failure result with
// ERROR_OUTOFMEMORY instead of an exception.
//
// The path functions ask the loose folder first when there is one
// (loose_answers.h): it wins over every archive. Without one, that costs a
// null check. Their answers are shared with the other forms of the same
// functions (path_answers.h), and each marks the thread while it runs, so
// that a call the system makes from inside one passes straight through
// (redirect_depth.h).

HANDLE WINAPI HookedCreateFileW(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
  return GuardedAnswer<HANDLE>(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().CreateFileW(file_name, access, share_mode, security, disposition,
                                         flags, template_file);
    };
    if (scope.nested()) return pass();
    return CreateFileAnswer("CreateFileW", file_name, flags, pass);
  });
}

BOOL WINAPI HookedReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read,
                           LPOVERLAPPED overlapped) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      // The system's ReadFile clears the count before anything else.
      if (count_read != nullptr) *count_read = 0;
      // A buffer the system could not write into fails the call alone, as
      // for a disk file, before any archive data is read or decoded.
      if (!IsCallerBufferWritable(buffer, count)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
      }
      if (overlapped != nullptr) {
        return KeepingLastError(FALSE, [&] {
          return ReadOwnOverlapped(HostRegistry(), file, buffer, count, count_read, overlapped);
        });
      }
      return KeepingLastError(
          FALSE, [&] { return HostRegistry().ReadOwn(file, buffer, count, count_read); });
    }
    return RealFunctions().ReadFile(file, buffer, count, count_read, overlapped);
  });
}

BOOL WINAPI HookedCloseHandle(HANDLE handle) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(handle)) {
      // Another thread may have closed it since the test: only the close
      // that removes the handle succeeds, the other answers as for a closed
      // handle (ERROR_INVALID_HANDLE).
      return KeepingLastError(FALSE,
                              [&] { return HostRegistry().CloseOwn(handle) ? TRUE : FALSE; });
    }
    return RealFunctions().CloseHandle(handle);
  });
}

DWORD WINAPI HookedGetFileSize(HANDLE file, LPDWORD size_high) {
  return GuardedAnswer<DWORD>(INVALID_FILE_SIZE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(INVALID_FILE_SIZE,
                              [&] { return HostRegistry().SizeOwn(file, size_high); });
    }
    return RealFunctions().GetFileSize(file, size_high);
  });
}

BOOL WINAPI HookedGetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(FALSE, [&] { return HostRegistry().SizeOwn(file, size); });
    }
    return RealFunctions().GetFileSizeEx(file, size);
  });
}

DWORD WINAPI HookedSetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  return GuardedAnswer<DWORD>(INVALID_SET_FILE_POINTER, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(INVALID_SET_FILE_POINTER, [&] {
        return HostRegistry().SetPointerOwn(file, distance, distance_high, method);
      });
    }
    return RealFunctions().SetFilePointer(file, distance, distance_high, method);
  });
}

BOOL WINAPI HookedSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                                   DWORD method) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(FALSE, [&] {
        return HostRegistry().SetPointerExOwn(file, distance, new_position, method);
      });
    }
    return RealFunctions().SetFilePointerEx(file, distance, new_position, method);
  });
}

DWORD WINAPI HookedGetFileType(HANDLE file) {
  return GuardedAnswer<DWORD>(FILE_TYPE_UNKNOWN, [&] {
    if (HostRegistry().IsOwnHandle(file)) return static_cast<DWORD>(FILE_TYPE_DISK);
    return RealFunctions().GetFileType(file);
  });
}

DWORD WINAPI HookedGetFileAttributesW(LPCWSTR file_name) {
  return GuardedAnswer<DWORD>(INVALID_FILE_ATTRIBUTES, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().GetFileAttributesW(file_name); };
    if (scope.nested()) return pass();
    return AttributesAnswer("GetFileAttributesW", file_name, pass);
  });
}

BOOL WINAPI HookedGetFileAttributesExW(LPCWSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().GetFileAttributesExW(file_name, level, information); };
    if (scope.nested()) return pass();
    return AttributesExAnswer("GetFileAttributesExW", file_name, level, information, pass);
  });
}

BOOL WINAPI HookedFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW find_data) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
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
  });
}

BOOL WINAPI HookedFindClose(HANDLE find) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostFindSessions().Close(find)) return TRUE;
    return RealFunctions().FindClose(find);
  });
}
