// `xp3 check GAME_DIR [--dev-dir DIR] ARCHIVE... [--json]`: what the
// archives, mounted in the order given, and the loose folder DIR laid over
// them (loose_folder_files.h) do to the game directory (see
// archive_check.h), as text
// lines or one JSON document on standard output, with a summary. Arguments
// are UTF-8. Warnings on standard error (and in the JSON document) name the
// ways the archives given differ from the set the patch mounts
// (mount_set_check.h); they leave the exit code alone. Exit code: 0 every
// name is reachable, 1 an archive could not be read or a name can never be
// reached, 2 bad usage.
#pragma once

#include <string>
#include <vector>

int RunCheck(const std::vector<std::string>& args);
