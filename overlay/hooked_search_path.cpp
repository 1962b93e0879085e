#include "overlay/hooked_search_path.h"

#include <cwchar>

#include "overlay/guarded_answer.h"
#include "overlay/loose_answers.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_log.h"
#include "overlay/overlay_registry.h"

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

}  // namespace

DWORD WINAPI HookedSearchPathW(LPCWSTR path, LPCWSTR file_name, LPCWSTR extension, DWORD length,
                               LPWSTR buffer, LPWSTR* file_part) {
  return GuardedAnswer<DWORD>(0, [&]() -> DWORD {
    // The name as the search would look for it, on the stack: the call of
    // every other search allocates nothing here.
    WCHAR name[MAX_PATH + 1];
    const bool searchable =
        file_name != nullptr && (path == nullptr || HasDirectoryPart(file_name));
    bool candidate = false;
    if (searchable) {
      const size_t base = std::wcslen(file_name);
      const size_t more =
          extension != nullptr && !HasExtension(file_name) ? std::wcslen(extension) : 0;
      if (base + more <= MAX_PATH) {
        std::wmemcpy(name, file_name, base);
        if (more != 0) std::wmemcpy(name + base, extension, more);
        name[base + more] = L'\0';
        candidate = true;
      }
    }
    const LooseFolder* folder = HostRegistry().Loose();
    if (candidate && ((folder != nullptr && LooseHasFile(*folder, "SearchPathW", name)) ||
                      LogPathLookup("SearchPathW", name, HostRegistry().Exists(name)))) {
      // The same contract as the search's own answer: the full path's length,
      // or the room it needs when the buffer is too small.
      return GetFullPathNameW(name, length, buffer, file_part);
    }
    return RealFunctions().SearchPathW(path, file_name, extension, length, buffer, file_part);
  });
}
