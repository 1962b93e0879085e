#include "overlay/hooked_search_path.h"

#include <cwchar>
#include <string>

#include "overlay/guarded_answer.h"
#include "overlay/loose_answers.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"
#include "overlay/redirect_depth.h"
#include "platform/text_conversion.h"

namespace {

bool HasDirectoryPart(const WCHAR* name) {
  for (const WCHAR* p = name; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') return true;
  }
  return false;
}

// True when the last component of `name` has an extension already.
bool HasExtension(const WCHAR* name) {
  const WCHAR* dot = nullptr;
  for (const WCHAR* p = name; *p != L'\0'; ++p) {
    if (*p == L'.') dot = p;
    if (*p == L'\\' || *p == L'/') dot = nullptr;
  }
  return dot != nullptr;
}

// True for "D:\..." and "D:/...", and for UNC paths: the only names an
// overlaid path is not read relative to the game directory.
bool IsAbsolute(const WCHAR* name) {
  const bool drive =
      ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) &&
      name[1] == L':' && (name[2] == L'\\' || name[2] == L'/');
  const bool unc = (name[0] == L'\\' || name[0] == L'/') && (name[1] == L'\\' || name[1] == L'/');
  return drive || unc;
}

// A search along an explicit list of folders (";"-separated), in the
// list's order, as the system searches it ("SearchPathW function",
// Microsoft Learn): the first folder where the game would see the file
// decides. An overlaid file there is the overlay's answer (`name` then
// holds its full path); a disk file there, or nothing anywhere, leaves the
// search to the system. A relative folder is taken from the current
// directory, as the system takes it.
bool OverlaidInPathList(const char* function, LPCWSTR path, const WCHAR* file,
                        WCHAR (&name)[MAX_PATH + 1]) {
  const size_t file_length = std::wcslen(file);
  const LooseFolder* folder = HostRegistry().Loose();
  for (const WCHAR* start = path; *start != L'\0';) {
    const WCHAR* end = start;
    while (*end != L'\0' && *end != L';') ++end;
    const size_t length = static_cast<size_t>(end - start);
    WCHAR candidate[MAX_PATH + 1];
    if (length != 0 && length + 1 + file_length <= MAX_PATH) {
      std::wmemcpy(candidate, start, length);
      size_t at = length;
      if (candidate[at - 1] != L'\\' && candidate[at - 1] != L'/') candidate[at++] = L'\\';
      std::wmemcpy(candidate + at, file, file_length + 1);
      const DWORD full = GetFullPathNameW(candidate, MAX_PATH + 1, name, nullptr);
      if (full != 0 && full <= MAX_PATH) {
        if ((folder != nullptr && LooseHasFile(*folder, function, name)) ||
            HostRegistry().Exists(name)) {
          return LogPathLookup(function, name, true);
        }
        if (RealFunctions().GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) return false;
      }
    }
    start = *end == L';' ? end + 1 : end;
  }
  return false;
}

}  // namespace

bool ServedPath(const WCHAR* name, std::wstring* served) {
  served->clear();
  if (IsAbsolute(name)) {
    served->assign(name);
    return true;
  }
  // A relative name is the game directory's, whatever the current
  // directory is: that is where CreateFileW serves it from.
  WideString base;
  if (!FromUtf8(HostRegistry().BaseDirectory(), &base)) return false;
  served->assign(base.begin(), base.end());
  if (!served->empty() && served->back() != L'\\') served->push_back(L'\\');
  served->append(name);
  return true;
}

bool OverlaidSearchName(const char* function, LPCWSTR path, LPCWSTR file_name, LPCWSTR extension,
                        WCHAR (&name)[MAX_PATH + 1]) {
  // The name as the search would look for it, on the stack: the call of
  // every other search allocates nothing here.
  if (file_name == nullptr) return false;
  const bool in_path_list = path != nullptr && !HasDirectoryPart(file_name);
  const size_t base = std::wcslen(file_name);
  const size_t more = extension != nullptr && !HasExtension(file_name) ? std::wcslen(extension) : 0;
  if (base + more > MAX_PATH) return false;
  std::wmemcpy(name, file_name, base);
  if (more != 0) std::wmemcpy(name + base, extension, more);
  name[base + more] = L'\0';
  if (in_path_list) {
    WCHAR file[MAX_PATH + 1];
    std::wmemcpy(file, name, base + more + 1);
    return OverlaidInPathList(function, path, file, name);
  }
  const LooseFolder* folder = HostRegistry().Loose();
  return (folder != nullptr && LooseHasFile(*folder, function, name)) ||
         LogPathLookup(function, name, HostRegistry().Exists(name));
}

DWORD WINAPI HookedSearchPathW(LPCWSTR path, LPCWSTR file_name, LPCWSTR extension, DWORD length,
                               LPWSTR buffer, LPWSTR* file_part) {
  return GuardedAnswer<DWORD>(0, [&]() -> DWORD {
    RedirectScope scope;
    WCHAR name[MAX_PATH + 1];
    std::wstring served;
    if (!scope.nested() && OverlaidSearchName("SearchPathW", path, file_name, extension, name) &&
        ServedPath(name, &served)) {
      // The same contract as the search's own answer: the full path's length,
      // or the room it needs when the buffer is too small.
      return GetFullPathNameW(served.c_str(), length, buffer, file_part);
    }
    return RealFunctions().SearchPathW(path, file_name, extension, length, buffer, file_part);
  });
}
