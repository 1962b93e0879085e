// Ctrl-C, Ctrl-Break, closing the console window (or SIGINT, SIGTERM and
// SIGHUP on Linux) while the tool writes files: the request is noted, the
// command stops at its next step, removes what it left unfinished and exits
// non-zero. On Windows a closing console ends the process soon after asking;
// the handler holds it until the command has cleaned up (or a few seconds
// have passed).
#pragma once

#include <atomic>

// Installs the handlers; the flag turns true when the user interrupts.
const std::atomic<bool>& WatchForInterruption();

// Called by the command once it has cleaned up after an interruption, so
// that a waiting console handler lets the process end.
void InterruptionHandled();

// The exit code of an interrupted command (as a shell reports Ctrl-C).
inline constexpr int kInterruptedExit = 130;
