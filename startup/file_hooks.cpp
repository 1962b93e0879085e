#include "startup/file_hooks.h"

#include "overlay/hooked_file_functions.h"
#include "overlay/hooked_handle_functions.h"
#include "overlay/hooked_search_path.h"
#include "startup/process_globals.h"

namespace {

template <typename Function>
PVOID Replacement(Function* function) {
  return reinterpret_cast<PVOID>(function);
}

}  // namespace

std::array<FileHook, kFileHookCount> FileHooks() {
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
      {SlotOf(t.file.GetFileInformationByHandle), Replacement(&HookedGetFileInformationByHandle)},
      {SlotOf(t.file.GetFileInformationByHandleEx),
       Replacement(&HookedGetFileInformationByHandleEx)},
      {SlotOf(t.file.GetFileTime), Replacement(&HookedGetFileTime)},
      {SlotOf(t.file.GetFinalPathNameByHandleW), Replacement(&HookedGetFinalPathNameByHandleW)},
      {SlotOf(t.file.GetFinalPathNameByHandleA), Replacement(&HookedGetFinalPathNameByHandleA)},
      {SlotOf(t.file.ReadFileEx), Replacement(&HookedReadFileEx)},
      {SlotOf(t.file.DuplicateHandle), Replacement(&HookedDuplicateHandle)},
      {SlotOf(t.file.CreateFileMappingW), Replacement(&HookedCreateFileMappingW)},
      {SlotOf(t.file.CreateFileMappingA), Replacement(&HookedCreateFileMappingA)},
      {SlotOf(t.file.WriteFile), Replacement(&HookedWriteFile)},
      {SlotOf(t.file.WriteFileEx), Replacement(&HookedWriteFileEx)},
      {SlotOf(t.file.SetEndOfFile), Replacement(&HookedSetEndOfFile)},
      {SlotOf(t.file.FlushFileBuffers), Replacement(&HookedFlushFileBuffers)},
      {SlotOf(t.file.SetFileTime), Replacement(&HookedSetFileTime)},
      {SlotOf(t.file.SetFileInformationByHandle), Replacement(&HookedSetFileInformationByHandle)},
      {SlotOf(t.file.SearchPathW), Replacement(&HookedSearchPathW)},
  }};
}

const char* HookSlotName(PVOID* slot) {
  // Same order as FileHooks().
  static const char* const kFileHookNames[kFileHookCount] = {"CreateFileW",
                                                             "ReadFile",
                                                             "CloseHandle",
                                                             "GetFileSize",
                                                             "GetFileSizeEx",
                                                             "SetFilePointer",
                                                             "SetFilePointerEx",
                                                             "GetFileType",
                                                             "GetFileAttributesW",
                                                             "GetFileAttributesExW",
                                                             "FindFirstFileExW",
                                                             "FindNextFileW",
                                                             "FindClose",
                                                             "GetFileInformationByHandle",
                                                             "GetFileInformationByHandleEx",
                                                             "GetFileTime",
                                                             "GetFinalPathNameByHandleW",
                                                             "GetFinalPathNameByHandleA",
                                                             "ReadFileEx",
                                                             "DuplicateHandle",
                                                             "CreateFileMappingW",
                                                             "CreateFileMappingA",
                                                             "WriteFile",
                                                             "WriteFileEx",
                                                             "SetEndOfFile",
                                                             "FlushFileBuffers",
                                                             "SetFileTime",
                                                             "SetFileInformationByHandle",
                                                             "SearchPathW"};
  if (slot == nullptr) return nullptr;
  const std::array<FileHook, kFileHookCount> hooks = FileHooks();
  for (size_t i = 0; i < hooks.size(); ++i) {
    if (hooks[i].slot == slot) return kFileHookNames[i];
  }
  HookTable& table = TheHookTable();
  if (slot == SlotOf(table.SetUnhandledExceptionFilter)) return "SetUnhandledExceptionFilter";
  if (slot == SlotOf(table.GameEntry)) return "GameEntry";
  return "an unknown function";
}
