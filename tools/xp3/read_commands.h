// `xp3 list`, `xp3 extract` and `xp3 verify`: the subcommands that read an
// archive. They go through the patch's own reader (Xp3Archive and its entry
// streams), so that a verified archive is one the patch can serve. Arguments
// are UTF-8 (everything after the subcommand). List and verify take several
// archives and go on past one that fails. Each returns the process exit
// code: 0 ok, 1 failed, 2 bad usage.
#pragma once

#include <string>
#include <vector>

int RunList(const std::vector<std::string>& args);
int RunExtract(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
