#include "tools/xp3/progress.h"

#include <cstdio>

#include "tools/xp3/tool_files.h"

Progress::Progress(ProgressMode mode, const char* verb, size_t files, uint64_t bytes)
    : verb_(verb),
      files_(files),
      bytes_(bytes),
      enabled_(mode == ProgressMode::kForced || (mode == ProgressMode::kAuto && IsConsole(stderr))),
      console_(IsConsole(stderr)),
      start_(Clock::now()),
      // Plain lines start at once, so that even a short forced run shows one.
      last_(console_ ? start_ : start_ - std::chrono::hours(1)) {}

std::string Progress::Line(size_t files_done, uint64_t bytes_done) const {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const uint64_t rate = seconds > 0 ? static_cast<uint64_t>(bytes_done / seconds) : 0;
  const int percent = bytes_ == 0 ? 100 : static_cast<int>(bytes_done * 100 / bytes_);
  char line[160];
  std::snprintf(line, sizeof line, "%3d%%  %zu/%zu %s  %s/%s  %s/s", percent, files_done, files_,
                files_ == 1 ? "file" : "files", HumanSize(bytes_done).c_str(),
                HumanSize(bytes_).c_str(), HumanSize(rate).c_str());
  return line;
}

void Progress::Update(size_t files_done, uint64_t bytes_done) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  const auto interval = console_ ? std::chrono::milliseconds(200) : std::chrono::seconds(5);
  if (now - last_ < interval) return;
  last_ = now;
  if (console_) {
    std::fprintf(stderr, "\r%-72s", Line(files_done, bytes_done).c_str());
  } else {
    std::fprintf(stderr, "xp3: %s %s\n", verb_, Line(files_done, bytes_done).c_str());
  }
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Clear() {
  if (console_ && shown_) std::fprintf(stderr, "\r%72s\r", "");
  shown_ = false;
}
