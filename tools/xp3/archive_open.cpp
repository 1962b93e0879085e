#include "tools/xp3/archive_open.h"

#include <cstdio>
#include <filesystem>

#include "tools/xp3/index_inspection.h"
#include "tools/xp3/tool_files.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Points the process's standard output at the null device while it lives.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
#ifdef _WIN32
    saved_ = _dup(_fileno(stdout));
    const int null = _open("NUL", _O_WRONLY);
    if (saved_ >= 0 && null >= 0) _dup2(null, _fileno(stdout));
    if (null >= 0) _close(null);
#else
    saved_ = dup(fileno(stdout));
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) dup2(null, fileno(stdout));
    if (null >= 0) close(null);
#endif
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ < 0) return;
#ifdef _WIN32
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
#else
    dup2(saved_, fileno(stdout));
    close(saved_);
#endif
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace

std::unique_ptr<Xp3Archive> OpenArchive(const char* command, const std::string& utf8_path,
                                        IndexInspection* strict) {
  std::error_code ec;
  const std::filesystem::path path = PathFromUtf8(utf8_path);
  if (!std::filesystem::exists(path, ec)) {
    std::fprintf(stderr, "xp3 %s: no such archive: %s\n", command, utf8_path.c_str());
    return nullptr;
  }
  if (!std::filesystem::is_regular_file(path, ec)) {
    std::fprintf(stderr, "xp3 %s: not a file: %s\n", command, utf8_path.c_str());
    return nullptr;
  }
  auto archive = std::make_unique<Xp3Archive>(utf8_path, false);
  bool parsed = false;
  {
    QuietStdout quiet;
    parsed = archive->ParseIndex();
  }
  const IndexInspection inspection = InspectIndex(path);
  if (!parsed) {
    std::fprintf(
        stderr, "xp3 %s: %s is not a readable XP3 archive: %s\n", command, utf8_path.c_str(),
        inspection.problems.empty() ? "bad header or index" : inspection.problems.front().c_str());
    return nullptr;
  }
  if (strict != nullptr) {
    *strict = inspection;
  } else {
    // Commands other than verify read on as the patch would, and say what
    // they noticed.
    for (const std::string& text : inspection.problems) {
      std::fprintf(stderr, "xp3 %s: warning: %s\n", command, text.c_str());
    }
  }
  for (const std::string& text : inspection.warnings) {
    std::fprintf(stderr, "xp3 %s: warning: %s\n", command, text.c_str());
  }
  return archive;
}
