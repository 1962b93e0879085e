#include "overlay/overlay_host.h"

#include "overlay/redirect_depth.h"

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
          &::SearchPathW,
          &::CreateFileA,
          reinterpret_cast<CreateFile2Function>(reinterpret_cast<void*>(
              GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFile2"))),
          &::GetFileAttributesA,
          &::GetFileAttributesExA,
          &::FindFirstFileA,
          &::FindFirstFileW,
          &::FindFirstFileExA,
          &::FindNextFileA,
          &::SearchPathA,
          &::CopyFileW,
          &::CopyFileA,
          &::CopyFileExW,
          &::CopyFileExA,
          reinterpret_cast<CopyFile2Function>(reinterpret_cast<void*>(
              GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CopyFile2"))),
          &::GetCompressedFileSizeW,
          &::GetCompressedFileSizeA,
          &::AddFontResourceExW,
          &::AddFontResourceExA,
          &::AddFontResourceW,
          &::AddFontResourceA,
          &::RemoveFontResourceExW,
          &::RemoveFontResourceExA,
          &::RemoveFontResourceW,
          &::RemoveFontResourceA};
}

void SetOverlayHost(const OverlayHost& host) {
  InitRedirectDepth();
  g_overlay_host = host;
}
