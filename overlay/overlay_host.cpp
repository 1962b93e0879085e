#include "overlay/overlay_host.h"

OverlayHost g_overlay_host;

RealFileFunctions ImportedFileFunctions() {
  return {&::CreateFileW,        &::ReadFile,
          &::CloseHandle,        &::GetFileSize,
          &::GetFileSizeEx,      &::SetFilePointer,
          &::SetFilePointerEx,   &::GetFileType,
          &::GetFileAttributesW, &::GetFileAttributesExW,
          &::FindFirstFileExW,   &::FindNextFileW,
          &::FindClose};
}

void SetOverlayHost(const OverlayHost& host) { g_overlay_host = host; }
