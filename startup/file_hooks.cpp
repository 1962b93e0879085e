#include "startup/file_hooks.h"

#include "overlay/hooked_file_functions.h"
#include "startup/process_globals.h"

std::array<FileHook, 13> FileHooks() {
  HookTable& t = TheHookTable();
  return {{
      {SlotOf(t.CreateFileW), reinterpret_cast<PVOID>(&HookedCreateFileW)},
      {SlotOf(t.ReadFile), reinterpret_cast<PVOID>(&HookedReadFile)},
      {SlotOf(t.CloseHandle), reinterpret_cast<PVOID>(&HookedCloseHandle)},
      {SlotOf(t.GetFileSize), reinterpret_cast<PVOID>(&HookedGetFileSize)},
      {SlotOf(t.GetFileSizeEx), reinterpret_cast<PVOID>(&HookedGetFileSizeEx)},
      {SlotOf(t.SetFilePointer), reinterpret_cast<PVOID>(&HookedSetFilePointer)},
      {SlotOf(t.SetFilePointerEx), reinterpret_cast<PVOID>(&HookedSetFilePointerEx)},
      {SlotOf(t.GetFileType), reinterpret_cast<PVOID>(&HookedGetFileType)},
      {SlotOf(t.GetFileAttributesW), reinterpret_cast<PVOID>(&HookedGetFileAttributesW)},
      {SlotOf(t.GetFileAttributesExW), reinterpret_cast<PVOID>(&HookedGetFileAttributesExW)},
      {SlotOf(t.FindFirstFileExW), reinterpret_cast<PVOID>(&HookedFindFirstFileExW)},
      {SlotOf(t.FindNextFileW), reinterpret_cast<PVOID>(&HookedFindNextFileW)},
      {SlotOf(t.FindClose), reinterpret_cast<PVOID>(&HookedFindClose)},
  }};
}
