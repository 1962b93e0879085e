// File mappings of overlay handles.
//
// An overlaid file has no bytes on disk for the system to map, so its
// mapping is a section backed by the paging file, filled once with the
// file's bytes when it is made and then handed out through a handle that
// may only read (and execute, when asked): a view for writing is refused as
// for a mapping of a read-only disk file, and nothing ever reaches the
// archive. Protections that write (PAGE_READWRITE, PAGE_EXECUTE_READWRITE)
// are refused with ERROR_ACCESS_DENIED, as for a read-only handle. The
// caller owns the returned section handle and closes it with CloseHandle.
#pragma once

#include <windows.h>

class OverlayRegistry;
struct RealFileFunctions;

// CreateFileMappingW on an own handle. `real` reaches the unhooked system
// functions that make and hand out the section. As the system function, it
// sets the last error on success too: ERROR_ALREADY_EXISTS when `name`
// named an existing section (which is then opened, not filled), 0
// otherwise.
HANDLE CreateOwnMapping(const OverlayRegistry& registry, const RealFileFunctions& real, HANDLE file,
                        SECURITY_ATTRIBUTES* security, DWORD protect, DWORD size_high,
                        DWORD size_low, const WCHAR* name);
