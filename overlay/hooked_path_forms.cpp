#include "overlay/hooked_path_forms.h"

#include <string>

#include "overlay/ansi_paths.h"
#include "overlay/directory_overlay.h"
#include "overlay/find_session.h"
#include "overlay/guarded_answer.h"
#include "overlay/hooked_search_path.h"
#include "overlay/path_answers.h"
#include "overlay/redirect_depth.h"

namespace {

// A search through an ANSI form: the overlay's session hands its first
// record back converted; the system's own answer has filled the caller's
// buffer itself.
template <typename Pass>
HANDLE AnsiSearch(LPCSTR file_name, FINDEX_INFO_LEVELS info_level, WIN32_FIND_DATAA* find_data,
                  FINDEX_SEARCH_OPS search_op, LPVOID search_filter, DWORD additional_flags,
                  Pass pass) {
  std::wstring wide;
  if (!AnsiPathToWide(file_name, &wide)) return pass();
  WIN32_FIND_DATAW record;
  bool by_overlay = false;
  const HANDLE handle = SearchAnswer(wide.c_str(), info_level, &record, search_op, search_filter,
                                     additional_flags, pass, &by_overlay);
  if (by_overlay) FindRecordToAnsi(record, find_data);
  return handle;
}

}  // namespace

HANDLE WINAPI HookedCreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
  return GuardedAnswer<HANDLE>(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().CreateFileA(file_name, access, share_mode, security, disposition,
                                         flags, template_file);
    };
    std::wstring wide;
    if (scope.nested() || !AnsiPathToWide(file_name, &wide)) return pass();
    return CreateFileAnswer("CreateFileA", wide.c_str(), flags, pass);
  });
}

HANDLE WINAPI HookedCreateFile2(LPCWSTR file_name, DWORD access, DWORD share_mode,
                                DWORD disposition, CreateFile2Parameters* parameters) {
  return GuardedAnswer<HANDLE>(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().CreateFile2(file_name, access, share_mode, disposition, parameters);
    };
    if (scope.nested()) return pass();
    // CreateFile2 takes the flags apart from the attributes; only
    // FILE_FLAG_OVERLAPPED matters to an overlaid file.
    const DWORD flags = parameters != nullptr ? parameters->dwFileFlags : 0;
    return CreateFileAnswer("CreateFile2", file_name, flags, pass);
  });
}

DWORD WINAPI HookedGetFileAttributesA(LPCSTR file_name) {
  return GuardedAnswer<DWORD>(INVALID_FILE_ATTRIBUTES, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().GetFileAttributesA(file_name); };
    std::wstring wide;
    if (scope.nested() || !AnsiPathToWide(file_name, &wide)) return pass();
    return AttributesAnswer("GetFileAttributesA", wide.c_str(), pass);
  });
}

BOOL WINAPI HookedGetFileAttributesExA(LPCSTR file_name, GET_FILEEX_INFO_LEVELS level,
                                       LPVOID information) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().GetFileAttributesExA(file_name, level, information); };
    std::wstring wide;
    if (scope.nested() || !AnsiPathToWide(file_name, &wide)) return pass();
    return AttributesExAnswer("GetFileAttributesExA", wide.c_str(), level, information, pass);
  });
}

// FindFirstFileW and FindFirstFileA are FindFirstFileEx with the standard
// information level, a name match and no flags ("FindFirstFileExW function",
// Microsoft Learn).
HANDLE WINAPI HookedFindFirstFileW(LPCWSTR file_name, LPWIN32_FIND_DATAW find_data) {
  return GuardedAnswer(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().FindFirstFileW(file_name, find_data); };
    if (scope.nested()) return pass();
    bool by_overlay = false;
    return SearchAnswer(file_name, FindExInfoStandard, find_data, FindExSearchNameMatch, nullptr, 0,
                        pass, &by_overlay);
  });
}

HANDLE WINAPI HookedFindFirstFileA(LPCSTR file_name, LPWIN32_FIND_DATAA find_data) {
  return GuardedAnswer(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().FindFirstFileA(file_name, find_data); };
    if (scope.nested()) return pass();
    return AnsiSearch(file_name, FindExInfoStandard, find_data, FindExSearchNameMatch, nullptr, 0,
                      pass);
  });
}

HANDLE WINAPI HookedFindFirstFileExA(LPCSTR file_name, FINDEX_INFO_LEVELS info_level,
                                     LPVOID find_data, FINDEX_SEARCH_OPS search_op,
                                     LPVOID search_filter, DWORD additional_flags) {
  return GuardedAnswer(INVALID_HANDLE_VALUE, [&] {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().FindFirstFileExA(file_name, info_level, find_data, search_op,
                                              search_filter, additional_flags);
    };
    if (scope.nested()) return pass();
    return AnsiSearch(file_name, info_level, static_cast<WIN32_FIND_DATAA*>(find_data), search_op,
                      search_filter, additional_flags, pass);
  });
}

BOOL WINAPI HookedFindNextFileA(HANDLE find, LPWIN32_FIND_DATAA find_data) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    if (HostFindSessions().Contains(find)) {
      WIN32_FIND_DATAW record;
      bool exhausted = false;
      if (HostFindSessions().Next(find, &record, &exhausted)) {
        FindRecordToAnsi(record, find_data);
        return TRUE;
      }
      // Exhausted, or closed by another thread between the two calls.
      SetLastError(exhausted ? ERROR_NO_MORE_FILES : ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return RealFunctions().FindNextFileA(find, find_data);
  });
}

DWORD WINAPI HookedSearchPathA(LPCSTR path, LPCSTR file_name, LPCSTR extension, DWORD length,
                               LPSTR buffer, LPSTR* file_part) {
  return GuardedAnswer<DWORD>(0, [&]() -> DWORD {
    RedirectScope scope;
    auto pass = [&] {
      return RealFunctions().SearchPathA(path, file_name, extension, length, buffer, file_part);
    };
    std::wstring wide_path, wide_name, wide_extension;
    if (scope.nested() || !AnsiPathToWide(file_name, &wide_name) ||
        (path != nullptr && !AnsiPathToWide(path, &wide_path)) ||
        (extension != nullptr && !AnsiPathToWide(extension, &wide_extension))) {
      return pass();
    }
    WCHAR name[MAX_PATH + 1];
    std::string ansi_name;
    if (!OverlaidSearchName("SearchPathA", path != nullptr ? wide_path.c_str() : nullptr,
                            wide_name.c_str(),
                            extension != nullptr ? wide_extension.c_str() : nullptr, name) ||
        !WidePathToAnsi(name, &ansi_name)) {
      return pass();
    }
    // The search's own contract, in bytes: the full path's length, or the
    // room it needs when the buffer is too small.
    return GetFullPathNameA(ansi_name.c_str(), length, buffer, file_part);
  });
}
