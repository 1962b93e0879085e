// An overlaid file (an archive entry, or a file of the loose folder) opened
// for reading by a replacement that hands its bytes to something other than
// the game: a copy on disk (hooked_copies.h), a font file the system can
// open (font_copies.h).
//
// It opens the path exactly as CreateFileW would serve it to the game, so a
// copy holds the bytes the game reads, and it reads through the overlay's
// own functions rather than the redirected ones. One object belongs to one
// thread and closes what it opened when it goes.
#pragma once

#include <windows.h>

#include <cstdint>

class OverlaidSource {
 public:
  enum class Opened {
    kNotOverlaid,  // the path is the system's: pass the call on
    kFailed,       // overlaid, but it would not open; the last error says why
    kOpen,
  };

  OverlaidSource() = default;
  ~OverlaidSource();
  OverlaidSource(const OverlaidSource&) = delete;
  OverlaidSource& operator=(const OverlaidSource&) = delete;

  // `function` names the caller's form for the log.
  Opened Open(const char* function, LPCWSTR path);

  // The next bytes; `*got` is 0 at the end. False with a last error when
  // the archive cannot be read.
  bool Read(void* buffer, DWORD count, DWORD* got);
  bool Size(uint64_t* size);
  // The last write time the game sees for the file.
  bool Time(FILETIME* time);
  // The handle the game would hold (an overlay handle, or the loose file's).
  HANDLE handle() const { return handle_; }

 private:
  bool Own() const;

  HANDLE handle_ = INVALID_HANDLE_VALUE;
};
