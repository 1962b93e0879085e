#include "startup/file_hooks.h"

#include "overlay/hooked_file_functions.h"
#include "startup/process_globals.h"

std::array<FileHook, 13> FileHooks() {
  HookTable& t = TheHookTable();
  return {{
      {SlotOf(t.file.CreateFileW), reinterpret_cast<PVOID>(&HookedCreateFileW)},
      {SlotOf(t.file.ReadFile), reinterpret_cast<PVOID>(&HookedReadFile)},
      {SlotOf(t.file.CloseHandle), reinterpret_cast<PVOID>(&HookedCloseHandle)},
      {SlotOf(t.file.GetFileSize), reinterpret_cast<PVOID>(&HookedGetFileSize)},
      {SlotOf(t.file.GetFileSizeEx), reinterpret_cast<PVOID>(&HookedGetFileSizeEx)},
      {SlotOf(t.file.SetFilePointer), reinterpret_cast<PVOID>(&HookedSetFilePointer)},
      {SlotOf(t.file.SetFilePointerEx), reinterpret_cast<PVOID>(&HookedSetFilePointerEx)},
      {SlotOf(t.file.GetFileType), reinterpret_cast<PVOID>(&HookedGetFileType)},
      {SlotOf(t.file.GetFileAttributesW), reinterpret_cast<PVOID>(&HookedGetFileAttributesW)},
      {SlotOf(t.file.GetFileAttributesExW), reinterpret_cast<PVOID>(&HookedGetFileAttributesExW)},
      {SlotOf(t.file.FindFirstFileExW), reinterpret_cast<PVOID>(&HookedFindFirstFileExW)},
      {SlotOf(t.file.FindNextFileW), reinterpret_cast<PVOID>(&HookedFindNextFileW)},
      {SlotOf(t.file.FindClose), reinterpret_cast<PVOID>(&HookedFindClose)},
  }};
}

const char* HookSlotName(PVOID* slot) {
  // Same order as FileHooks().
  static const char* const kFileHookNames[13] = {"CreateFileW",        "ReadFile",
                                                 "CloseHandle",        "GetFileSize",
                                                 "GetFileSizeEx",      "SetFilePointer",
                                                 "SetFilePointerEx",   "GetFileType",
                                                 "GetFileAttributesW", "GetFileAttributesExW",
                                                 "FindFirstFileExW",   "FindNextFileW",
                                                 "FindClose"};
  if (slot == nullptr) return nullptr;
  const std::array<FileHook, 13> hooks = FileHooks();
  for (size_t i = 0; i < hooks.size(); ++i) {
    if (hooks[i].slot == slot) return kFileHookNames[i];
  }
  HookTable& table = TheHookTable();
  if (slot == SlotOf(table.SetUnhandledExceptionFilter)) return "SetUnhandledExceptionFilter";
  if (slot == SlotOf(table.GameEntry)) return "GameEntry";
  return "an unknown function";
}
