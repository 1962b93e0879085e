// `xp3 diff OLD.xp3 NEW.xp3 [--json]`: the entries added, removed and
// changed between two releases of an archive (archive_diff.h), as text lines
// or one JSON document on standard output, with a summary. Arguments are
// UTF-8. Exit code, as comparison programs have it: 0 the archives hold the
// same entries, 1 they differ, 2 bad usage or an archive that cannot be read.
#pragma once

#include <string>
#include <vector>

int RunDiff(const std::vector<std::string>& args);
