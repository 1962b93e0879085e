// The font files the system can open for the overlaid fonts the game adds.
//
// The system opens a font file below the file functions the patch
// redirects (in the kernel on Windows), so an added font that only an
// archive or the loose folder holds is handed to the system as a copy on
// disk: a file in a folder of the patch's own under the user's temporary
// folder, holding the bytes the game would read from that path, made when
// the font is first added and deleted when its last add is removed. A font
// added from a copy is the system's like any other: usable by name and
// listed for the process.
//
// A copy whose font is still added when the game ends cannot be deleted
// then (the system holds the file until the process is gone, and the
// patch's objects are never destroyed at exit): the next process that adds
// a font deletes the copies of processes that are no longer running.
//
// One process-wide instance (TheFontCopies); one lock guards the table and
// is held across the system's add and remove, so two threads adding one
// font at once make one copy. The system's own calls from inside an add
// never reach this object (redirect_depth.h).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <unordered_map>

#include "overlay/path_key.h"

class FontCopies {
 public:
  // The system's add or remove of one font file, with the caller's other
  // arguments; its result is the caller's (0 fails, with a last error).
  using SystemCall = std::function<int(LPCWSTR file_name)>;

  // `root`: the folder the copies go in (created when the first is made).
  explicit FontCopies(std::wstring root);
  FontCopies(const FontCopies&) = delete;
  FontCopies& operator=(const FontCopies&) = delete;

  // Adds the overlaid font at `path` through `add`, given the copy's path.
  // `*overlaid` is false when `path` is no overlaid file: the caller then
  // passes its call to the system. `function` names the caller's form.
  int Add(const char* function, LPCWSTR path, const SystemCall& add, bool* overlaid);
  // Removes a font that Add added from `path` through `remove`, given the
  // copy's path; `*overlaid` is false when Add has no copy for `path`.
  int Remove(LPCWSTR path, const SystemCall& remove, bool* overlaid);

  // The number of copies on disk (for tests).
  size_t CopyCount() const;

 private:
  struct Copy {
    std::wstring folder;  // the copy's own folder, holding only the copy
    std::wstring file;
    unsigned adds = 0;  // successful adds not yet removed
  };

  // Writes the copy of the open overlaid file; false with a last error.
  bool MakeCopy(class OverlaidSource& source, LPCWSTR path, Copy* copy);
  void DeleteCopy(const Copy& copy);
  // Deletes what processes that have ended left behind. Once per process.
  void SweepLeftovers();

  std::wstring root_;
  unsigned next_folder_ = 0;
  bool swept_ = false;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::unordered_map<std::string, Copy, PathKeyHasher, PathKeyEquals> copies_;
};

// The process's instance, with its copies under the user's temporary
// folder. Built on first use and never destroyed (see above).
FontCopies& TheFontCopies();
