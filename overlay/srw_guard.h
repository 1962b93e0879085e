// Holds a slim reader/writer lock for one scope, shared or exclusive.
//
// The overlay's tables allocate while their lock is held (a handle or a find
// session being recorded); when that allocation fails, the exception leaving
// the scope must not leave the lock held, or every later file call of the
// game would wait on it for ever. The guard releases the lock on every way
// out of the scope. It belongs to the thread that made it.
#pragma once

#include <windows.h>

class SrwGuard {
 public:
  enum Mode { kShared, kExclusive };

  SrwGuard(SRWLOCK* lock, Mode mode) : lock_(lock), mode_(mode) {
    if (mode_ == kShared) {
      AcquireSRWLockShared(lock_);
    } else {
      AcquireSRWLockExclusive(lock_);
    }
  }
  ~SrwGuard() {
    if (mode_ == kShared) {
      ReleaseSRWLockShared(lock_);
    } else {
      ReleaseSRWLockExclusive(lock_);
    }
  }
  SrwGuard(const SrwGuard&) = delete;
  SrwGuard& operator=(const SrwGuard&) = delete;

 private:
  SRWLOCK* lock_;
  Mode mode_;
};
