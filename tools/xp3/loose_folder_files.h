// The files of a loose folder (the patch's XP3PATCH_DEV_DIR) as the patch
// serves them, for `xp3 check --dev-dir`: every file below the folder under
// its path relative to it, like an archive entry, each marked with the
// reason when the patch will not serve it. The patch serves a file only
// under its own name inside the folder: a link or junction that leads out of
// the folder, or to another name in it, is refused, and so are names the
// game cannot ask for (trailing dots or blanks, wildcards, control
// characters). A linked directory is reported once and not walked.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/xp3/archive_check.h"

// False (with `*error`) when the folder cannot be listed.
bool ListLooseFolder(const std::filesystem::path& root, std::vector<CheckedEntry>* entries,
                     std::string* error);

// Why the patch does not look a loose file of this name ('/'-separated,
// relative) up, beyond what makes any name unreachable; empty when it does.
std::string LooseNameRefusal(const std::string& name);
