// File mappings of overlay handles.
//
// An overlaid file has no bytes on disk for the system to map, so its
// mapping is a section backed by a temporary file that the patch fills with
// the file's bytes when the mapping is made, opened so that it vanishes
// when the last handle to it and the section are gone. The section is made
// with the protection the caller asked for, which can only read (and copy,
// and execute): its own maximum protection then refuses every view for
// writing, whoever holds a handle to it (a duplicate, or one opened by
// name), as for a mapping of a read-only disk file; and a view larger than
// the mapping fails as the system's own check makes it fail. Memory grows
// with what is viewed, not with the file, since the file system backs the
// pages. A named section is only made once the file is full, so nobody who
// opens it by name sees it half filled. Protections that write
// (PAGE_READWRITE, PAGE_EXECUTE_READWRITE) are refused with
// ERROR_ACCESS_DENIED, as for a read-only handle. The caller owns the
// returned section handle and closes it with CloseHandle.
#pragma once

#include <windows.h>

class OverlayRegistry;
struct RealFileFunctions;

// CreateFileMappingW on an own handle. `real` reaches the unhooked system
// functions that make the file and the section. As the system function, it
// sets the last error on success too: ERROR_ALREADY_EXISTS when `name`
// named an existing section (which is then opened, and the file made for it
// dropped), 0 otherwise.
HANDLE CreateOwnMapping(const OverlayRegistry& registry, const RealFileFunctions& real, HANDLE file,
                        SECURITY_ATTRIBUTES* security, DWORD protect, DWORD size_high,
                        DWORD size_low, const WCHAR* name);
