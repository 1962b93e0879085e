// The diagnostic log: lines that let a translation team see what the patch
// did in a player's process (which DLL, which game directory, which archives
// were mounted with how many entries, which hooks went live, and for every
// file the game asks about in its directory, the key looked up and whether an
// archive answered).
//
// It is off unless the environment variable XP3PATCH_LOG names a file, which
// DiagnosticLogStart opens for appending once at start-up. While it is off,
// DiagnosticLogEnabled is one load of a process-wide value and nothing else
// happens: no file, no console, no formatting.
//
// Every line starts with the local time to the millisecond and the calling
// thread's id. A line is formatted on the caller's stack and written in one
// piece at a place of the file claimed atomically, so lines from several
// threads never interleave, no lock is taken and nothing is allocated; a line
// longer than the buffer is cut (and marked so). One process writes a log
// file at a time. Writing never
// changes the caller's last error (nor errno in the native build) and never
// fails the caller: a write that fails is dropped.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__MINGW32__)
#define XP3_LOG_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define XP3_LOG_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// The open log (a file handle, or a descriptor plus one in the native build);
// 0 while the log is off.
extern std::atomic<std::intptr_t> g_diagnostic_log_file;

// The one check every log call makes first.
inline bool DiagnosticLogEnabled() {
  return g_diagnostic_log_file.load(std::memory_order_relaxed) != 0;
}

// Opens the file named by XP3PATCH_LOG, when set and not empty, unless a log
// is already open. Returns whether the log is on afterwards.
bool DiagnosticLogStart();

// Opens `utf8_path` for appending, closing any log that was open. False when
// it cannot be opened (the log is then off).
bool DiagnosticLogOpen(const char* utf8_path);

// When DiagnosticLogStart found XP3PATCH_LOG naming a file it could not
// open: that name, and the system's error code (GetLastError, or errno in
// the native build), so that start-up can say why no log appears. The name
// is "" when there was no such failure. Fixed storage; nothing is freed.
const char* DiagnosticLogFailedPath();
unsigned long DiagnosticLogFailedError();

// Closes the log; later lines are dropped. Only for when no other thread can
// be writing (tests, the end of a tool).
void DiagnosticLogClose();

// Appends one line (a line end is added). Does nothing while the log is off.
void DiagnosticLogWrite(const char* format, ...) XP3_LOG_FORMAT(1, 2);
