// How the launcher and the drop-in loaders tell the language patch from any
// other DLL: by the version resource the patch carries
// (startup/patch_version.rc), whose ProductName is "xp3patch" and whose
// FileDescription is "xp3patch language patch". A loader carries another
// description, so a loader is never taken for the patch, and neither is a
// program or a DLL nobody of the team built.
//
// Reading the resource runs none of the DLL's code: a file on disk is mapped
// as a data file, a loaded module is read where it lies. Nothing here keeps
// a reference to anything it read.
#pragma once

#include <windows.h>

#include <cstddef>

// The strings the patch's version resource carries.
inline constexpr wchar_t kPatchProductName[] = L"xp3patch";
inline constexpr wchar_t kPatchFileDescription[] = L"xp3patch language patch";

// Whether a VS_VERSIONINFO block (a version resource's bytes) carries the
// patch's product name and description in one of its string tables. Any
// block that is cut short or malformed is not the patch's.
bool VersionBlockIsPatch(const void* block, std::size_t size);

// Whether a block carries the project's product name: the patch, a loader
// or one of the project's programs (launcher, crash handler, xp3 tool).
bool VersionBlockIsProject(const void* block, std::size_t size);

// Whether a module mapped in this process (loaded, or mapped as a data or
// image-resource file) is the patch.
bool ModuleIsPatch(HMODULE module);
bool ModuleIsProject(HMODULE module);

// Whether the file at `path` is the patch, read as a data file without
// running any of its code. False as well when it cannot be read.
bool FileIsPatch(const wchar_t* path);
