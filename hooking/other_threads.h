// The other threads of this process, opened so that a hook transaction can
// enlist them: while a transaction's commit rewrites code, each of them is
// suspended and moved out of the bytes being replaced.
//
// Open() lists the threads and opens a handle to each, allocating as it
// goes, so it runs before anything is suspended. The object owns the handles
// and closes them when destroyed, which must be after the commit. A thread
// started after Open() is not enlisted; the commit writes each function
// entry so that such a thread still never runs half of a jump. One object
// serves one transaction on one thread.
#ifndef HOOKING_OTHER_THREADS_H_
#define HOOKING_OTHER_THREADS_H_

#include <vector>

#include "platform/platform.h"

namespace hooking {

class OtherThreads {
 public:
  OtherThreads() = default;
  OtherThreads(const OtherThreads&) = delete;
  OtherThreads& operator=(const OtherThreads&) = delete;
  ~OtherThreads();

  // Opens every thread of the process but the calling one. A thread that
  // ends before it can be opened is left out. Returns 0 or the Win32 error
  // of listing the threads (ERROR_OUTOFMEMORY when the list cannot grow;
  // the threads opened so far stay listed).
  DWORD Open();

  // HookEnlistThread for each opened thread; the first error, or 0.
  DWORD EnlistAll() const;

  size_t size() const { return handles_.size(); }

 private:
  std::vector<HANDLE> handles_;
};

}  // namespace hooking

#endif  // HOOKING_OTHER_THREADS_H_
