#include "dropin/loader_settings.h"

#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

struct PackagedName {
  char marker[sizeof kPatchNameMarker];
  wchar_t name[kPatchNameCapacity];
};

// Read through a volatile reference, so that the compiler cannot fold the
// default name into the code and miss what packaging wrote.
extern "C" {
extern const volatile PackagedName g_packaged_patch_name;
const volatile PackagedName g_packaged_patch_name = {"xp3patch:patch-dll-name:", L"patch.dll"};
}

}  // namespace

std::wstring PackagedPatchName() {
  std::wstring name;
  for (unsigned i = 0; i < kPatchNameCapacity; ++i) {
    const wchar_t c = g_packaged_patch_name.name[i];
    if (c == L'\0') {
      const bool usable = !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos &&
                          name != L"." && name != L"..";
      return usable ? name : L"patch.dll";
    }
    name += c;
  }
  return L"patch.dll";
}

std::wstring PatchDllPath() {
  wchar_t buffer[32768];
  const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), buffer,
                                          sizeof buffer / sizeof buffer[0]);
  std::wstring path(buffer, length);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + PackagedPatchName();
}
