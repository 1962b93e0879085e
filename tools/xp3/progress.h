// Progress of a long pack or extract on standard error: files, bytes and
// rate. On a terminal it is one line that rewrites itself a few times a
// second; elsewhere it is silent unless forced, and then writes a plain line
// every few seconds (for logs of long runs). Standard output is left to the
// command's results. One thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

enum class ProgressMode { kAuto, kQuiet, kForced };

class Progress {
 public:
  // `verb` names the work in plain lines ("packing", "extracting").
  Progress(ProgressMode mode, const char* verb, size_t files, uint64_t bytes);
  // Shows the state when enough time has passed since the last time.
  void Update(size_t files_done, uint64_t bytes_done);
  // Removes a terminal line before the command's own output follows.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  std::string Line(size_t files_done, uint64_t bytes_done) const;

  const char* verb_;
  size_t files_;
  uint64_t bytes_;
  bool enabled_;
  bool console_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};
