#include "startup/file_hooks.h"

#include "overlay/hooked_copies.h"
#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_fonts.h"
#include "overlay/hooked_handle_functions.h"
#include "overlay/hooked_path_forms.h"
#include "overlay/hooked_search_path.h"
#include "startup/process_globals.h"

namespace {

template <typename Function>
PVOID Replacement(Function* function) {
  return reinterpret_cast<PVOID>(function);
}

// The font functions are gdi32's; the patch imports gdi32, so it is loaded
// whenever the table is built.
constexpr const wchar_t* kGdi = L"gdi32.dll";

}  // namespace

std::array<FileHook, kFileHookCount> FileHooks(HookTable& table) {
  RealFileFunctions& f = table.file;
  return {{
      {"CreateFileW", SlotOf(f.CreateFileW), Replacement(&HookedCreateFileW)},
      {"ReadFile", SlotOf(f.ReadFile), Replacement(&HookedReadFile)},
      {"CloseHandle", SlotOf(f.CloseHandle), Replacement(&HookedCloseHandle)},
      {"GetFileSize", SlotOf(f.GetFileSize), Replacement(&HookedGetFileSize)},
      {"GetFileSizeEx", SlotOf(f.GetFileSizeEx), Replacement(&HookedGetFileSizeEx)},
      {"SetFilePointer", SlotOf(f.SetFilePointer), Replacement(&HookedSetFilePointer)},
      {"SetFilePointerEx", SlotOf(f.SetFilePointerEx), Replacement(&HookedSetFilePointerEx)},
      {"GetFileType", SlotOf(f.GetFileType), Replacement(&HookedGetFileType)},
      {"GetFileAttributesW", SlotOf(f.GetFileAttributesW), Replacement(&HookedGetFileAttributesW)},
      {"GetFileAttributesExW", SlotOf(f.GetFileAttributesExW),
       Replacement(&HookedGetFileAttributesExW)},
      {"FindFirstFileExW", SlotOf(f.FindFirstFileExW), Replacement(&HookedFindFirstFileExW)},
      {"FindNextFileW", SlotOf(f.FindNextFileW), Replacement(&HookedFindNextFileW)},
      {"FindClose", SlotOf(f.FindClose), Replacement(&HookedFindClose)},
      {"GetFileInformationByHandle", SlotOf(f.GetFileInformationByHandle),
       Replacement(&HookedGetFileInformationByHandle)},
      {"GetFileInformationByHandleEx", SlotOf(f.GetFileInformationByHandleEx),
       Replacement(&HookedGetFileInformationByHandleEx)},
      {"GetFileTime", SlotOf(f.GetFileTime), Replacement(&HookedGetFileTime)},
      {"GetFinalPathNameByHandleW", SlotOf(f.GetFinalPathNameByHandleW),
       Replacement(&HookedGetFinalPathNameByHandleW)},
      {"GetFinalPathNameByHandleA", SlotOf(f.GetFinalPathNameByHandleA),
       Replacement(&HookedGetFinalPathNameByHandleA)},
      {"ReadFileEx", SlotOf(f.ReadFileEx), Replacement(&HookedReadFileEx)},
      {"DuplicateHandle", SlotOf(f.DuplicateHandle), Replacement(&HookedDuplicateHandle)},
      {"CreateFileMappingW", SlotOf(f.CreateFileMappingW), Replacement(&HookedCreateFileMappingW)},
      {"CreateFileMappingA", SlotOf(f.CreateFileMappingA), Replacement(&HookedCreateFileMappingA)},
      {"WriteFile", SlotOf(f.WriteFile), Replacement(&HookedWriteFile)},
      {"WriteFileEx", SlotOf(f.WriteFileEx), Replacement(&HookedWriteFileEx)},
      {"SetEndOfFile", SlotOf(f.SetEndOfFile), Replacement(&HookedSetEndOfFile)},
      {"FlushFileBuffers", SlotOf(f.FlushFileBuffers), Replacement(&HookedFlushFileBuffers)},
      {"SetFileTime", SlotOf(f.SetFileTime), Replacement(&HookedSetFileTime)},
      {"SetFileInformationByHandle", SlotOf(f.SetFileInformationByHandle),
       Replacement(&HookedSetFileInformationByHandle)},
      {"SearchPathW", SlotOf(f.SearchPathW), Replacement(&HookedSearchPathW)},
      {"CreateFileA", SlotOf(f.CreateFileA), Replacement(&HookedCreateFileA)},
      {"CreateFile2", SlotOf(f.CreateFile2), Replacement(&HookedCreateFile2)},
      {"GetFileAttributesA", SlotOf(f.GetFileAttributesA), Replacement(&HookedGetFileAttributesA)},
      {"GetFileAttributesExA", SlotOf(f.GetFileAttributesExA),
       Replacement(&HookedGetFileAttributesExA)},
      {"FindFirstFileA", SlotOf(f.FindFirstFileA), Replacement(&HookedFindFirstFileA)},
      {"FindFirstFileW", SlotOf(f.FindFirstFileW), Replacement(&HookedFindFirstFileW)},
      {"FindFirstFileExA", SlotOf(f.FindFirstFileExA), Replacement(&HookedFindFirstFileExA)},
      {"FindNextFileA", SlotOf(f.FindNextFileA), Replacement(&HookedFindNextFileA)},
      {"SearchPathA", SlotOf(f.SearchPathA), Replacement(&HookedSearchPathA)},
      {"CopyFileW", SlotOf(f.CopyFileW), Replacement(&HookedCopyFileW)},
      {"CopyFileA", SlotOf(f.CopyFileA), Replacement(&HookedCopyFileA)},
      {"CopyFileExW", SlotOf(f.CopyFileExW), Replacement(&HookedCopyFileExW)},
      {"CopyFileExA", SlotOf(f.CopyFileExA), Replacement(&HookedCopyFileExA)},
      {"CopyFile2", SlotOf(f.CopyFile2), Replacement(&HookedCopyFile2)},
      {"GetCompressedFileSizeW", SlotOf(f.GetCompressedFileSizeW),
       Replacement(&HookedGetCompressedFileSizeW)},
      {"GetCompressedFileSizeA", SlotOf(f.GetCompressedFileSizeA),
       Replacement(&HookedGetCompressedFileSizeA)},
      {"AddFontResourceExW", SlotOf(f.AddFontResourceExW), Replacement(&HookedAddFontResourceExW),
       kGdi},
      {"AddFontResourceExA", SlotOf(f.AddFontResourceExA), Replacement(&HookedAddFontResourceExA),
       kGdi},
      {"AddFontResourceW", SlotOf(f.AddFontResourceW), Replacement(&HookedAddFontResourceW), kGdi},
      {"AddFontResourceA", SlotOf(f.AddFontResourceA), Replacement(&HookedAddFontResourceA), kGdi},
      {"RemoveFontResourceExW", SlotOf(f.RemoveFontResourceExW),
       Replacement(&HookedRemoveFontResourceExW), kGdi},
      {"RemoveFontResourceExA", SlotOf(f.RemoveFontResourceExA),
       Replacement(&HookedRemoveFontResourceExA), kGdi},
      {"RemoveFontResourceW", SlotOf(f.RemoveFontResourceW),
       Replacement(&HookedRemoveFontResourceW), kGdi},
      {"RemoveFontResourceA", SlotOf(f.RemoveFontResourceA),
       Replacement(&HookedRemoveFontResourceA), kGdi},
  }};
}

std::array<FileHook, kFileHookCount> FileHooks() { return FileHooks(TheHookTable()); }

PVOID SystemFunctionAddress(const char* name) {
  // Both libraries are loaded in every process before any DLL's entry point
  // runs, and GetModuleHandleW and GetProcAddress load nothing, so this is
  // safe during static initialisation under the loader lock.
  for (const wchar_t* library : {L"kernelbase.dll", L"kernel32.dll"}) {
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) continue;
    if (FARPROC address = GetProcAddress(module, name)) return reinterpret_cast<PVOID>(address);
  }
  return nullptr;
}

PVOID SystemFunctionAddress(const FileHook& hook) {
  if (hook.library == nullptr) return SystemFunctionAddress(hook.name);
  HMODULE module = GetModuleHandleW(hook.library);
  return module != nullptr ? reinterpret_cast<PVOID>(GetProcAddress(module, hook.name)) : nullptr;
}

void UseSystemFunctionAddresses(HookTable& table) {
  for (const FileHook& hook : FileHooks(table)) {
    if (PVOID address = SystemFunctionAddress(hook)) *hook.slot = address;
  }
  if (PVOID filter = SystemFunctionAddress("SetUnhandledExceptionFilter")) {
    *SlotOf(table.SetUnhandledExceptionFilter) = filter;
  }
}

const char* HookSlotName(PVOID* slot) {
  if (slot == nullptr) return nullptr;
  for (const FileHook& hook : FileHooks()) {
    if (hook.slot == slot) return hook.name;
  }
  HookTable& table = TheHookTable();
  if (slot == SlotOf(table.SetUnhandledExceptionFilter)) return "SetUnhandledExceptionFilter";
  if (slot == SlotOf(table.GameEntry)) return "GameEntry";
  return "an unknown function";
}
