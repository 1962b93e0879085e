// The boundary between the replacement file functions and the game.
//
// The game calls the replacements as plain Win32 functions: a C++ exception
// must never leave one, and the only exception the overlay can meet is a
// failed allocation (a long path, a listing, an open file's records). Each
// replacement runs its work through GuardedAnswer, which turns any exception
// into the Win32 way of failing: the function's failure result with
// ERROR_OUTOFMEMORY (14) as last error. Locks are released by their guards
// on the way out (srw_guard.h), so the next call finds the overlay usable.
#pragma once

#include <windows.h>

template <typename Result, typename Work>
Result GuardedAnswer(Result failure, Work work) noexcept {
  try {
    return work();
  } catch (...) {
    SetLastError(ERROR_OUTOFMEMORY);
    return failure;
  }
}

// Runs an overlay answer whose failure result is `failure` and, when it
// succeeds, leaves the caller's last error as it was before the call, as the
// system's functions do. The overlay's own work may touch the last error on
// the way: the first function-local object of the DLL that is built goes
// through the runtime's thread library, which clears it, and an archive read
// may go through system calls that set it.
template <typename Result, typename Work>
Result KeepingLastError(Result failure, Work work) {
  const DWORD error = GetLastError();
  const Result result = work();
  if (result != failure) SetLastError(error);
  return result;
}
