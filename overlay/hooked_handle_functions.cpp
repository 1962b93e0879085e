#include "overlay/hooked_handle_functions.h"

#include "overlay/guarded_answer.h"
#include "overlay/handle_information.h"
#include "overlay/overlapped_read.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/own_mapping.h"
#include "overlay/caller_buffer.h"
#include "platform/platform.h"

namespace {

// Whether a process handle names this process: its pseudo handle, or a
// real handle to it.
bool IsCurrentProcess(HANDLE process) {
  if (process == GetCurrentProcess()) return true;
  const DWORD error = GetLastError();
  const bool current = GetProcessId(process) == GetCurrentProcessId();
  SetLastError(error);
  return current;
}

// DuplicateHandle of an own handle within this process: a second handle to
// the same open file. An overlay handle means nothing in another process,
// so a duplicate for one is refused; the source is still closed when asked,
// as the system closes it whatever the outcome.
BOOL DuplicateOwnHandle(HANDLE source, HANDLE target_process, HANDLE* target, DWORD options) {
  OverlayRegistry& registry = HostRegistry();
  const bool close_source = (options & DUPLICATE_CLOSE_SOURCE) != 0;
  if (!IsCurrentProcess(target_process)) {
    if (close_source) registry.CloseOwn(source);
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // Without a place for the duplicate nobody could ever close it, so none
  // is made.
  if (target != nullptr) {
    HANDLE duplicate = registry.DuplicateOwn(source);
    if (duplicate == nullptr) return FALSE;
    *target = duplicate;
  }
  if (close_source) registry.CloseOwn(source);
  return TRUE;
}

// The answer of a writing call on an overlay handle: the file is read-only.
BOOL RefuseWrite() {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

}  // namespace

BOOL WINAPI HookedGetFileInformationByHandle(HANDLE file,
                                             LPBY_HANDLE_FILE_INFORMATION information) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(
          FALSE, [&] { return OwnFileInformation(HostRegistry(), file, information); });
    }
    return RealFunctions().GetFileInformationByHandle(file, information);
  });
}

BOOL WINAPI HookedGetFileInformationByHandleEx(HANDLE file,
                                               FILE_INFO_BY_HANDLE_CLASS information_class,
                                               LPVOID information, DWORD size) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(FALSE, [&] {
        return OwnFileInformationEx(HostRegistry(), file, information_class, information, size);
      });
    }
    return RealFunctions().GetFileInformationByHandleEx(file, information_class, information, size);
  });
}

BOOL WINAPI HookedGetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                              LPFILETIME last_write) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return KeepingLastError(FALSE, [&] {
        return OwnFileTime(HostRegistry(), file, creation, last_access, last_write);
      });
    }
    return RealFunctions().GetFileTime(file, creation, last_access, last_write);
  });
}

// The final path's answers set their own last error when the buffer is too
// small, so only a complete answer restores the caller's.
DWORD WINAPI HookedGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD count, DWORD flags) {
  return GuardedAnswer<DWORD>(0, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      const DWORD error = GetLastError();
      const DWORD length = OwnFinalPathW(HostRegistry(), file, path, count, flags);
      if (length != 0 && length < count) SetLastError(error);
      return length;
    }
    return RealFunctions().GetFinalPathNameByHandleW(file, path, count, flags);
  });
}

DWORD WINAPI HookedGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD count, DWORD flags) {
  return GuardedAnswer<DWORD>(0, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      const DWORD error = GetLastError();
      const DWORD length = OwnFinalPathA(HostRegistry(), file, path, count, flags);
      if (length != 0 && length < count) SetLastError(error);
      return length;
    }
    return RealFunctions().GetFinalPathNameByHandleA(file, path, count, flags);
  });
}

BOOL WINAPI HookedReadFileEx(HANDLE file, LPVOID buffer, DWORD count, LPOVERLAPPED overlapped,
                             LPOVERLAPPED_COMPLETION_ROUTINE completion) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      // As HookedReadFile, once the parameters themselves are sound.
      if (overlapped != nullptr && !IsCallerBufferWritable(buffer, count)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
      }
      return KeepingLastError(FALSE, [&] {
        return ReadOwnEx(HostRegistry(), file, buffer, count, overlapped, completion);
      });
    }
    return RealFunctions().ReadFileEx(file, buffer, count, overlapped, completion);
  });
}

BOOL WINAPI HookedDuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                  LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    // The process is asked about only for an own handle: every other call
    // pays the handle test alone.
    if (HostRegistry().IsOwnHandle(source) && IsCurrentProcess(source_process)) {
      // The access asked for and inheritance do not apply: an overlay handle
      // always reads and is never inherited.
      return KeepingLastError(
          FALSE, [&] { return DuplicateOwnHandle(source, target_process, target, options); });
    }
    return RealFunctions().DuplicateHandle(source_process, source, target_process, target, access,
                                           inherit, options);
  });
}

HANDLE WINAPI HookedCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                       DWORD size_high, DWORD size_low, LPCWSTR name) {
  return GuardedAnswer<HANDLE>(nullptr, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      return CreateOwnMapping(HostRegistry(), RealFunctions(), file, security, protect, size_high,
                              size_low, name);
    }
    return RealFunctions().CreateFileMappingW(file, security, protect, size_high, size_low, name);
  });
}

HANDLE WINAPI HookedCreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                       DWORD size_high, DWORD size_low, LPCSTR name) {
  return GuardedAnswer<HANDLE>(nullptr, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      WideString wide;
      if (name != nullptr) {
        const int needed = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
        if (needed > 0) wide.resize(static_cast<size_t>(needed));
        if (needed <= 0 || MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), needed) <= 0) {
          SetLastError(ERROR_FILENAME_EXCED_RANGE);  // as the system, for a name it cannot take
          return static_cast<HANDLE>(nullptr);
        }
      }
      return CreateOwnMapping(HostRegistry(), RealFunctions(), file, security, protect, size_high,
                              size_low, name != nullptr ? wide.c_str() : nullptr);
    }
    return RealFunctions().CreateFileMappingA(file, security, protect, size_high, size_low, name);
  });
}

BOOL WINAPI HookedWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written,
                            LPOVERLAPPED overlapped) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) {
      if (count_written != nullptr) *count_written = 0;  // as the system's, before anything
      return RefuseWrite();
    }
    return RealFunctions().WriteFile(file, buffer, count, count_written, overlapped);
  });
}

BOOL WINAPI HookedWriteFileEx(HANDLE file, LPCVOID buffer, DWORD count, LPOVERLAPPED overlapped,
                              LPOVERLAPPED_COMPLETION_ROUTINE completion) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) return RefuseWrite();
    return RealFunctions().WriteFileEx(file, buffer, count, overlapped, completion);
  });
}

BOOL WINAPI HookedSetEndOfFile(HANDLE file) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) return RefuseWrite();
    return RealFunctions().SetEndOfFile(file);
  });
}

BOOL WINAPI HookedFlushFileBuffers(HANDLE file) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) return RefuseWrite();
    return RealFunctions().FlushFileBuffers(file);
  });
}

BOOL WINAPI HookedSetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access,
                              const FILETIME* last_write) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) return RefuseWrite();
    return RealFunctions().SetFileTime(file, creation, last_access, last_write);
  });
}

BOOL WINAPI HookedSetFileInformationByHandle(HANDLE file,
                                             FILE_INFO_BY_HANDLE_CLASS information_class,
                                             LPVOID information, DWORD size) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostRegistry().IsOwnHandle(file)) return RefuseWrite();
    return RealFunctions().SetFileInformationByHandle(file, information_class, information, size);
  });
}
