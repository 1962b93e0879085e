// Which archives the patch mounts at start-up, in which order, and the one
// file it keeps only in memory.
#pragma once

#include <windows.h>

#include <string>

class OverlayRegistry;

// The archive that bears the DLL's name: `module_path` with everything from
// its last '.' replaced by ".xp3" (".xp3" appended when there is no '.').
// False when the result does not fit in MAX_PATH wide characters.
bool ArchiveNameForModule(const std::wstring& module_path, std::wstring* archive_name);

// "D:\Game\patch.xp3" -> "D:\Game\patch_tw.xp3": "_tw" before the last '.'.
std::string SecondLanguageName(const std::string& utf8_archive_name);

// Mounts, in this order (later mounts win): the archive named after the DLL
// `module`, "images.xp3" from the current directory, and the "_tw" variant of
// the first when the variable "CHS_TW" is exactly "1"; then stores the memory
// file "acp" holding the ANSI code page as decimal digits, and lays the
// loose folder of XP3PATCH_DEV_DIR over it all (MountLooseFolder). Returns
// only when every archive it asks for is mounted; otherwise the process ends
// with the error box and exit code 1.
void MountPatchArchives(HMODULE module, OverlayRegistry& registry);

// When the environment variable XP3PATCH_DEV_DIR names a folder, lays it
// over everything mounted (loose_folder.h), reaching the disk through the
// real file functions of the overlay's host. A folder that is missing or
// cannot be read is logged (and named on standard error) and left out: the
// game goes on. Unset or empty: nothing happens and nothing is looked at.
void MountLooseFolder(OverlayRegistry& registry);
