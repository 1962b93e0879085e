// Opening an archive for the `xp3` commands that read one: through the
// patch's own reader, so that what the tool accepts is what the patch can
// mount. The reader tells about index content it does not understand on
// standard output; the tool keeps standard output for its own results, so
// those messages are held back here, and the tool says what is wrong in its
// own words on standard error instead.
#pragma once

#include <memory>
#include <string>

#include "archive/xp3_archive.h"
#include "tools/xp3/index_inspection.h"

// Null (after one line on stderr, "xp3 COMMAND: ...") when the file is
// missing or not a readable archive. The strict look at the index
// (index_inspection.h) goes to `*strict` when given (its warnings are printed
// either way); without it, its problems are printed as warnings.
std::unique_ptr<Xp3Archive> OpenArchive(const char* command, const std::string& utf8_path,
                                        IndexInspection* strict = nullptr);
