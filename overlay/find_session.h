// A directory listing served by the overlay, and the set of live ones.
//
// A FindSession holds the merged listing of one search (the system's records
// followed by records for archive files and archive-only directories); its
// address is the pseudo find handle the game receives. The FindSessionSet
// owns every live session: sessions are added when a search starts and
// removed and freed when the game closes the handle. The set is shared by all
// game threads and guards itself; a single session is used by one caller at
// a time, like any find handle.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

struct FindSession {
  std::vector<WIN32_FIND_DATAW> records;  // never empty
  // The next record to hand out; record 0 is handed out by the call that
  // starts the search. Atomic, so that two threads walking one handle get
  // distinct records, none twice and none skipped.
  std::atomic<uint32_t> cursor{1};
};

class FindSessionSet {
 public:
  FindSessionSet() = default;
  ~FindSessionSet();
  FindSessionSet(const FindSessionSet&) = delete;
  FindSessionSet& operator=(const FindSessionSet&) = delete;

  // Takes ownership of `session`; when recording it fails for lack of
  // memory, the session is freed and the exception passes on.
  void Insert(std::unique_ptr<FindSession> session);
  bool Contains(HANDLE handle) const;
  // Removes and frees the session; false when `handle` is not a live session.
  bool Close(HANDLE handle);
  // Copies the next record of a live session. False (with `exhausted` false)
  // when `handle` is not a session of this set.
  bool Next(HANDLE handle, WIN32_FIND_DATAW* record, bool* exhausted);
  // The number of live sessions (for leak checks).
  size_t Size() const;

 private:
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::unordered_set<const void*> sessions_;
};
