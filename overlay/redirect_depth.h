// Whether the calling thread is already inside a redirected file function.
//
// The system may build one file function on another: under Wine the ANSI
// forms call the wide ones, on Windows they need not, and that can change
// from one build to the next. Every replacement therefore marks the thread
// while it runs, and a replacement entered again from inside one (through
// the system's own function, or through the overlay's own work) passes the
// call straight to the system. So an answer is given once, by the outermost
// replacement, whichever way the system is built.
//
// The mark is one thread-local counter, kept in a TLS slot that the host
// allocates once (InitRedirectDepth); reading and writing it leaves the
// caller's last error as it was. Without a slot nothing is ever nested.
#pragma once

#include <windows.h>

// Allocates the thread-local slot. Called once, before any replacement is
// attached; calling it again changes nothing.
void InitRedirectDepth();

// Marks the calling thread as inside a replacement for its lifetime.
class RedirectScope {
 public:
  RedirectScope();
  ~RedirectScope();
  RedirectScope(const RedirectScope&) = delete;
  RedirectScope& operator=(const RedirectScope&) = delete;

  // True when this thread was already inside a replacement: the caller then
  // passes its call to the system unchanged.
  bool nested() const { return outer_depth_ != 0; }

 private:
  UINT_PTR outer_depth_;
};

// Lifts the mark for its lifetime, for game code that a replacement calls
// back (a copy's progress routine): the game's own file calls from inside
// that code are the game's and get the overlay's answers, not the system's.
class RedirectPause {
 public:
  RedirectPause();
  ~RedirectPause();
  RedirectPause(const RedirectPause&) = delete;
  RedirectPause& operator=(const RedirectPause&) = delete;

 private:
  UINT_PTR depth_;
};
