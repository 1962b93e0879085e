// Whether the archives handed to `xp3 check` are the set the patch mounts at
// start-up. The patch mounts, in this order: the archive named after its DLL
// (patch.dll: patch.xp3, beside the DLL), "images.xp3" from the game's
// current directory, which the launcher makes the game directory, and, when
// CHS_TW is exactly 1, the DLL-named archive with "_tw" before ".xp3"
// (patch_tw.xp3, beside the DLL). A missing archive ends the game at
// start-up. A check over another set answers for a game that never runs, so
// each difference is named as a warning; warnings do not change what the
// check reports or its exit code.
//
// Names compare without regard to ASCII letter case, as the file system
// finds them. Plain values in, sentences out; the command does the file
// look-ups.
#pragma once

#include <string>
#include <vector>

struct MountSetInput {
  // In the order given: how each archive is named in messages, and its file
  // name (the last path component).
  std::vector<std::string> archives;
  std::vector<std::string> file_names;
  // Where images.xp3 sits in the game directory (for messages), or empty
  // when it does not.
  std::string images_in_game_dir;
  // Where the "_tw" variant of the first archive sits (the game directory,
  // or beside the first archive), or empty when it exists in neither.
  std::string second_language_on_disk;
};

// "patch.xp3" -> "patch_tw.xp3": the variant the patch mounts when CHS_TW is
// 1, for a first archive named `file_name`; empty when the name does not end
// in ".xp3" (the patch never mounts such a name first).
std::string SecondLanguageFileName(const std::string& file_name);

// One sentence per difference, without the command's prefix; empty when the
// archives are the set the game mounts, in its order.
std::vector<std::string> MountSetWarnings(const MountSetInput& input);
