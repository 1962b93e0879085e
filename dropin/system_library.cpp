#include "dropin/system_library.h"

#include <atomic>
#include <string>

// Generated per loader from exports/NAME.txt (forward_stubs.S).
extern "C" void* g_forward_slots[];
extern "C" const unsigned g_forward_count;
extern "C" const unsigned g_forward_ordinals[];
extern "C" const char* const g_forward_names[];
extern "C" const wchar_t g_system_library_name[];
// This loader's own image.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

std::atomic<HMODULE> g_system{nullptr};

// A call that cannot be passed on has no right answer to return (the
// loader does not know the function's arguments), so the process ends with
// the reason. FatalAppExitW is kernel32's and needs no other library.
[[noreturn]] void CannotForward(const std::wstring& what) {
  const std::wstring text = L"xp3patch loader: " + what;
  FatalAppExitW(0, text.c_str());
  ExitProcess(1);
}

FARPROC Lookup(HMODULE library, unsigned index) {
  const char* name = g_forward_names[index];
  return GetProcAddress(library,
                        name != nullptr ? name : MAKEINTRESOURCEA(g_forward_ordinals[index]));
}

}  // namespace

const wchar_t* SystemLibraryName() { return g_system_library_name; }

HMODULE SystemLibrary() {
  HMODULE library = g_system.load(std::memory_order_acquire);
  if (library != nullptr) return library;
  // GetSystemDirectoryW names System32. A 32-bit process on 64-bit Windows
  // is given the 32-bit copies there by the file system redirector, as
  // Microsoft documents under "File System Redirector"; a path that names
  // the file in full is loaded from exactly there ("Dynamic-link library
  // search order": the search order does not apply to a full path).
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(directory, length) + L"\\" + g_system_library_name;
  library = LoadLibraryW(path.c_str());
  if (library == reinterpret_cast<HMODULE>(&__ImageBase)) {
    // Only if the system directory held this loader itself: forwarding to
    // it would call itself for ever.
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  if (library == nullptr) return nullptr;
  // Two threads that resolve at once may both load it; the system counts
  // the second load as a reference, and one handle is kept.
  HMODULE expected = nullptr;
  if (!g_system.compare_exchange_strong(expected, library)) library = expected;
  return library;
}

// Called by the resolver stub with the slot's index; returns the address
// the stub jumps to.
extern "C" void* __stdcall ResolveForward(unsigned index) {
  HMODULE library = SystemLibrary();
  if (library == nullptr) {
    CannotForward(std::wstring(L"cannot load the system's ") + g_system_library_name + L" (error " +
                  std::to_wstring(GetLastError()) + L")");
  }
  FARPROC function = Lookup(library, index);
  if (function == nullptr) {
    const char* name = g_forward_names[index];
    std::wstring what = name != nullptr ? std::wstring(name, name + strlen(name))
                                        : L"ordinal " + std::to_wstring(g_forward_ordinals[index]);
    CannotForward(L"the system's " + std::wstring(g_system_library_name) + L" has no " + what);
  }
  reinterpret_cast<std::atomic<void*>*>(&g_forward_slots[index])
      ->store(reinterpret_cast<void*>(function), std::memory_order_release);
  return reinterpret_cast<void*>(function);
}

void ResolveAllForwards() {
  HMODULE library = SystemLibrary();
  if (library == nullptr) return;  // the first call will say why
  for (unsigned i = 0; i < g_forward_count; ++i) {
    if (FARPROC function = Lookup(library, i)) {
      reinterpret_cast<std::atomic<void*>*>(&g_forward_slots[i])
          ->store(reinterpret_cast<void*>(function), std::memory_order_release);
    }
  }
}
