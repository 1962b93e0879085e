// What the team sets when it packages a release: the file name of the patch
// DLL a loader loads from its own folder (by default "patch.dll", the name
// the README uses). The name sits in a field of the loader's image after a
// fixed marker, so that scripts/package.sh --patch-name writes another name
// into the loaders it ships without building them again; players edit
// nothing.
#pragma once

#include <string>

// The marker that precedes the field in the loader's file (ASCII, then a
// null byte), and the field's size in wide characters, terminator included.
inline constexpr char kPatchNameMarker[] = "xp3patch:patch-dll-name:";
inline constexpr unsigned kPatchNameCapacity = 64;

// The packaged name; "patch.dll" when the field holds no usable name (no
// terminator, empty, or a path rather than a file name).
std::wstring PackagedPatchName();

// The full path of the patch DLL: the packaged name in this loader's folder.
std::wstring PatchDllPath();
