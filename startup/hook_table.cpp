#include "startup/hook_table.h"

HookTable::HookTable()
    : CreateFontA(&::CreateFontA),
      CreateFontW(&::CreateFontW),
      CreateFileW(&::CreateFileW),
      ReadFile(&::ReadFile),
      CloseHandle(&::CloseHandle),
      GetFileSize(&::GetFileSize),
      GetFileSizeEx(&::GetFileSizeEx),
      SetFilePointer(&::SetFilePointer),
      SetFilePointerEx(&::SetFilePointerEx),
      GetFileType(&::GetFileType),
      GetFileAttributesW(&::GetFileAttributesW),
      GetFileAttributesExW(&::GetFileAttributesExW),
      MessageBoxW(&::MessageBoxW),
      FindFirstFileExW(&::FindFirstFileExW),
      FindNextFileW(&::FindNextFileW),
      FindClose(&::FindClose),
      SetUnhandledExceptionFilter(&::SetUnhandledExceptionFilter) {}
