// `xp3 pack DIR -o OUT.xp3 ...`: packs a directory tree into a new archive
// through Xp3Writer. Arguments are UTF-8 (everything after "pack").
// Returns the process exit code: 0 packed, 1 failed, 2 bad usage.
#pragma once

#include <string>
#include <vector>

int RunPack(const std::vector<std::string>& args);
