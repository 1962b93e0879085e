#include "dropin/patch_loading.h"

#include <windows.h>
#include <tlhelp32.h>

#include "dropin/loader_settings.h"
#include "dropin/patch_identity.h"
#include "dropin/system_library.h"
#include "platform/diagnostic_log.h"
#include "platform/system_error_text.h"
#include "platform/text_conversion.h"

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out;
  ToUtf8(WideString(text.begin(), text.end()), &out);
  return out;
}

// Whether a module of this process is the patch: the launcher may have
// loaded it from anywhere, under any name.
bool PatchAlreadyLoaded() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  bool found = false;
  for (BOOL more = Module32FirstW(snapshot, &module); more && !found;
       more = Module32NextW(snapshot, &module)) {
    found = ModuleIsPatch(module.hModule);
  }
  CloseHandle(snapshot);
  return found;
}

// The log line, standard error and the box. The loader's log file is open
// only while it writes its line: no patch of this process writes then, since
// none was loaded.
void Report(const std::wstring& text) {
  const std::string line = Utf8(text);
  if (DiagnosticLogStart()) {
    DiagnosticLogWrite("loader %s: %s", Utf8(SystemLibraryName()).c_str(), line.c_str());
    DiagnosticLogClose();
  }
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    const std::string out = "xp3patch loader: " + line + "\n";
    DWORD written = 0;
    WriteFile(error, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  }
  // user32 is loaded here, outside the loader lock, rather than imported:
  // a stand-in for version.dll should not pull user32 into a game that has
  // not loaded it yet.
  if (HMODULE user32 = LoadLibraryW(L"user32.dll")) {
    using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    auto box = reinterpret_cast<MessageBoxFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxW")));
    if (box != nullptr) {
      const std::wstring shown = L"汉化补丁未能加载，游戏将以原文运行。\n\n" + text;
      box(nullptr, shown.c_str(), L"xp3patch", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
    }
  }
}

std::wstring Wide(const std::string& utf8) {
  WideString wide;
  if (!FromUtf8(utf8, &wide)) return std::wstring(utf8.begin(), utf8.end());
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

std::wstring PatchNotLoadedText(const std::wstring& patch_path, const std::wstring& reason) {
  return L"the language patch was not loaded, the game runs untranslated: " + patch_path + L": " +
         reason;
}

void LoadPatchOnce() {
  // The project's own programs (the launcher, the crash handler) also load
  // the loader when they run in the game folder, through system libraries
  // that import the name it stands for; the patch belongs in the game only.
  if (ModuleIsProject(GetModuleHandleW(nullptr))) return;
  if (PatchAlreadyLoaded()) return;
  const std::wstring path = PatchDllPath();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    Report(PatchNotLoadedText(path, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                        ? L"not found"
                                        : Wide(SystemErrorText(error))));
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !FileIsPatch(path.c_str())) {
    Report(PatchNotLoadedText(path,
                              L"not the language patch (its version resource does not say "
                              L"xp3patch language patch)"));
    return;
  }
  if (LoadLibraryW(path.c_str()) == nullptr) {
    Report(PatchNotLoadedText(path,
                              L"it did not load (its start-up failed, or a DLL it needs is "
                              L"missing): " +
                                  Wide(SystemErrorText(GetLastError()))));
  }
}
