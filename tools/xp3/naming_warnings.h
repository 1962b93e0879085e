// Warnings of `xp3 check` about names that look like packing mistakes: an
// entry that replaces nothing while the game has a file of nearly its name
// (overlay/near_miss.h: a letter or two off, another extension, one top
// folder too many or too few), and an archive whose every entry lies under
// one top folder the game directory does not have while, without it, the
// entries fall into the game's folders or onto its files (the folder above
// the translation was packed). The patch would serve none of those files where
// the game looks for them. Plain values in, warning texts out.
#pragma once

#include <string>
#include <vector>

#include "tools/xp3/archive_check.h"

// At most this many near-miss warnings are written one by one; a last one
// counts the rest.
inline constexpr size_t kMaxNearMissWarnings = 20;

std::vector<std::string> NamingWarnings(const std::vector<CheckedArchive>& archives,
                                        const CheckReport& report,
                                        const std::vector<GameFile>& game_files);
