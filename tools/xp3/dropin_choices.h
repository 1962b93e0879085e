// The drop-in choices `xp3 check GAME_DIR` names: for each program in the
// game folder, which of the libraries the project builds loaders for
// (XP3PATCH_DROPIN_NAMES) it imports, read from its import table, and which
// of those the system would take from the game folder. A known DLL never
// is: the system always maps its own copy (Microsoft, "Dynamic-link library
// search order"), so a loader of that name would be ignored. And a loader
// that lies in the folder while no program there imports it is never loaded
// at the game's start.
//
// The import table is read from the file's bytes, so the check runs on
// Linux as well; the list of known DLLs is read from the registry on
// Windows and taken as empty elsewhere (none of the loader names is one on
// any Windows the project knows).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The DLL names a 32-bit or 64-bit PE image imports (its import directory;
// delay-loaded imports are not there, and load too late anyway). False, with
// `error` set, when the bytes are not a PE image or the table is damaged.
bool ImportedDllNames(const std::vector<std::uint8_t>& image, std::vector<std::string>* names,
                      std::string* error);

struct DropinProgram {
  std::string file;                  // the program's file name in the folder
  std::vector<std::string> imports;  // loader names it imports
  std::vector<std::string> usable;   // of those, the ones the system takes from the folder
  std::string problem;               // why its imports could not be read, or empty
};

struct DropinReport {
  std::vector<DropinProgram> programs;
  std::vector<std::string> warnings;
};

// Looks at every .exe directly in `game_dir` but the project's own programs.
DropinReport CheckDropin(const std::string& game_dir);

// The known DLLs of this system, lower case.
std::vector<std::string> KnownDllNames();
