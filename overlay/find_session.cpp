#include "overlay/find_session.h"

#include <cstring>

FindSessionSet::~FindSessionSet() {
  for (const void* session : sessions_) delete static_cast<const FindSession*>(session);
}

void FindSessionSet::Insert(FindSession* session) {
  AcquireSRWLockExclusive(&lock_);
  sessions_.insert(session);
  ReleaseSRWLockExclusive(&lock_);
}

bool FindSessionSet::Contains(HANDLE handle) const {
  AcquireSRWLockShared(&lock_);
  const bool live = sessions_.count(handle) != 0;
  ReleaseSRWLockShared(&lock_);
  return live;
}

bool FindSessionSet::Close(HANDLE handle) {
  AcquireSRWLockExclusive(&lock_);
  const bool live = sessions_.erase(handle) != 0;
  ReleaseSRWLockExclusive(&lock_);
  if (live) delete static_cast<FindSession*>(handle);
  return live;
}

bool FindSessionSet::Next(HANDLE handle, WIN32_FIND_DATAW* record, bool* exhausted) {
  *exhausted = false;
  // Held shared across the copy so that a close on another thread cannot free
  // the session while its record is read.
  AcquireSRWLockShared(&lock_);
  bool delivered = false;
  if (sessions_.count(handle) != 0) {
    auto* session = static_cast<FindSession*>(handle);
    const auto count = static_cast<uint32_t>(session->records.size());
    uint32_t at = session->cursor.load(std::memory_order_relaxed);
    while (at < count && !session->cursor.compare_exchange_weak(at, at + 1)) {
    }
    if (at < count) {
      std::memcpy(record, &session->records[at], sizeof(WIN32_FIND_DATAW));
      delivered = true;
    } else {
      *exhausted = true;
    }
  }
  ReleaseSRWLockShared(&lock_);
  return delivered;
}

size_t FindSessionSet::Size() const {
  AcquireSRWLockShared(&lock_);
  const size_t size = sessions_.size();
  ReleaseSRWLockShared(&lock_);
  return size;
}
