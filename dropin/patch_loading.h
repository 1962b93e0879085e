// What a drop-in loader does before the game's entry point: load the patch
// DLL named at packaging from the loader's folder, once, and only the patch.
//
// The patch is loaded with LoadLibraryW, so its DllMain runs as under the
// launcher (which has the system load it on the game's main thread before
// the entry point): it sees the game's executable and current directory as
// they are at the game's start. It is not loaded when it already is, in
// whatever folder (the launcher was used as well), and never when the file
// is not the patch (patch_identity.h), nor into the project's own programs
// (the launcher, the crash handler), which load the loader as well when they
// run in the game folder.
//
// When the patch is missing, is not the patch, or does not load (its
// start-up failed, a DLL it needs is missing), the player is told in one
// message box naming the file and the reason; the same text goes to the
// patch's log when XP3PATCH_LOG names one, and to standard error. The game
// then runs untranslated.
#pragma once

#include <string>

void LoadPatchOnce();

// The sentence a failed load is reported with, for `patch_path` and the
// reason in words.
std::wstring PatchNotLoadedText(const std::wstring& patch_path, const std::wstring& reason);
