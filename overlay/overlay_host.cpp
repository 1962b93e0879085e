#include "overlay/overlay_host.h"

OverlayHost g_overlay_host;

RealFileFunctions ImportedFileFunctions() {
  return {&::CreateFileW,
          &::ReadFile,
          &::CloseHandle,
          &::GetFileSize,
          &::GetFileSizeEx,
          &::SetFilePointer,
          &::SetFilePointerEx,
          &::GetFileType,
          &::GetFileAttributesW,
          &::GetFileAttributesExW,
          &::FindFirstFileExW,
          &::FindNextFileW,
          &::FindClose,
          &::GetFileInformationByHandle,
          &::GetFileInformationByHandleEx,
          &::GetFileTime,
          &::GetFinalPathNameByHandleW,
          &::GetFinalPathNameByHandleA,
          &::ReadFileEx,
          &::DuplicateHandle,
          &::CreateFileMappingW,
          &::CreateFileMappingA,
          &::WriteFile,
          &::WriteFileEx,
          &::SetEndOfFile,
          &::FlushFileBuffers,
          &::SetFileTime,
          &::SetFileInformationByHandle,
          &::SearchPathW};
}

void SetOverlayHost(const OverlayHost& host) { g_overlay_host = host; }
