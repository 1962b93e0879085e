// What the replacement file functions reach outside themselves.
//
// The replacements answer from the overlay registry and the live find
// sessions, and pass every other call on to the real function through a slot
// that the hooking engine rewrites when it attaches the hook. The overlay owns
// this interface; whoever hooks the functions (the DLL's start-up) owns the
// objects and fills the host in once, before the first replacement can run,
// and never changes it afterwards. The host holds no ownership: it points at
// process-wide objects that outlive every call.
#pragma once

#include <windows.h>

class FindSessionSet;
class OverlayRegistry;

// CreateFile2's extended parameters (Windows 8 and later; declared here since
// the build targets Windows 7, where the function may be missing).
struct CreateFile2Parameters {
  DWORD dwSize;
  DWORD dwFileAttributes;
  DWORD dwFileFlags;
  DWORD dwSecurityQosFlags;
  LPSECURITY_ATTRIBUTES lpSecurityAttributes;
  HANDLE hTemplateFile;
};
using CreateFile2Function = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, DWORD, CreateFile2Parameters*);
// CopyFile2 (Windows 8 and later, so not imported; its types are Windows 7's).
using CopyFile2Function = HRESULT(WINAPI*)(PCWSTR, PCWSTR, COPYFILE2_EXTENDED_PARAMETERS*);

// The slots of the redirected file functions, in attach order: the thirteen
// the patch has always redirected, then the handle functions that answer for
// overlay handles as for read-only disk files, then the other forms of the
// path functions (ANSI, CreateFile2, FindFirstFileW), each redirected itself
// since no system promises to build one on another, then the copies and
// compressed sizes, then the font functions (gdi32's, not the kernel's). A
// slot of a function the
// system lacks (CreateFile2 before Windows 8) is null and never attached. Each holds the address
// through which the real function is reached: the function itself before its hook is attached, a
// trampoline that runs it afterwards.
struct RealFileFunctions {
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::ReadFile) ReadFile;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetFileSize) GetFileSize;
  decltype(&::GetFileSizeEx) GetFileSizeEx;
  decltype(&::SetFilePointer) SetFilePointer;
  decltype(&::SetFilePointerEx) SetFilePointerEx;
  decltype(&::GetFileType) GetFileType;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::GetFileAttributesExW) GetFileAttributesExW;
  decltype(&::FindFirstFileExW) FindFirstFileExW;
  decltype(&::FindNextFileW) FindNextFileW;
  decltype(&::FindClose) FindClose;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
  decltype(&::GetFileTime) GetFileTime;
  decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
  decltype(&::GetFinalPathNameByHandleA) GetFinalPathNameByHandleA;
  decltype(&::ReadFileEx) ReadFileEx;
  decltype(&::DuplicateHandle) DuplicateHandle;
  decltype(&::CreateFileMappingW) CreateFileMappingW;
  decltype(&::CreateFileMappingA) CreateFileMappingA;
  decltype(&::WriteFile) WriteFile;
  decltype(&::WriteFileEx) WriteFileEx;
  decltype(&::SetEndOfFile) SetEndOfFile;
  decltype(&::FlushFileBuffers) FlushFileBuffers;
  decltype(&::SetFileTime) SetFileTime;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
  decltype(&::SearchPathW) SearchPathW;
  decltype(&::CreateFileA) CreateFileA;
  CreateFile2Function CreateFile2;
  decltype(&::GetFileAttributesA) GetFileAttributesA;
  decltype(&::GetFileAttributesExA) GetFileAttributesExA;
  decltype(&::FindFirstFileA) FindFirstFileA;
  decltype(&::FindFirstFileW) FindFirstFileW;
  decltype(&::FindFirstFileExA) FindFirstFileExA;
  decltype(&::FindNextFileA) FindNextFileA;
  decltype(&::SearchPathA) SearchPathA;
  decltype(&::CopyFileW) CopyFileW;
  decltype(&::CopyFileA) CopyFileA;
  decltype(&::CopyFileExW) CopyFileExW;
  decltype(&::CopyFileExA) CopyFileExA;
  CopyFile2Function CopyFile2;
  decltype(&::GetCompressedFileSizeW) GetCompressedFileSizeW;
  decltype(&::GetCompressedFileSizeA) GetCompressedFileSizeA;
  decltype(&::AddFontResourceExW) AddFontResourceExW;
  decltype(&::AddFontResourceExA) AddFontResourceExA;
  decltype(&::AddFontResourceW) AddFontResourceW;
  decltype(&::AddFontResourceA) AddFontResourceA;
  decltype(&::RemoveFontResourceExW) RemoveFontResourceExW;
  decltype(&::RemoveFontResourceExA) RemoveFontResourceExA;
  decltype(&::RemoveFontResourceW) RemoveFontResourceW;
  decltype(&::RemoveFontResourceA) RemoveFontResourceA;
};

// Slots that point straight at the imported functions.
RealFileFunctions ImportedFileFunctions();

struct OverlayHost {
  OverlayRegistry* registry = nullptr;
  FindSessionSet* find_sessions = nullptr;
  const RealFileFunctions* real = nullptr;
};

// Installs the host. Called once, before any replacement is attached.
void SetOverlayHost(const OverlayHost& host);

// The installed host. Constant-initialised (empty) before any static
// constructor runs; read through the accessors below on every call, which
// stay inline because they sit on the path of every redirected call.
extern OverlayHost g_overlay_host;

inline OverlayRegistry& HostRegistry() { return *g_overlay_host.registry; }
inline FindSessionSet& HostFindSessions() { return *g_overlay_host.find_sessions; }
inline const RealFileFunctions& RealFunctions() { return *g_overlay_host.real; }
