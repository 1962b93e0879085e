#include "overlay/find_session.h"

#include <cstring>

#include "overlay/srw_guard.h"

FindSessionSet::~FindSessionSet() {
  for (const void* session : sessions_) delete static_cast<const FindSession*>(session);
}

void FindSessionSet::Insert(std::unique_ptr<FindSession> session) {
  SrwGuard guard(&lock_, SrwGuard::kExclusive);
  // Owned by the set only once recorded: a failed insertion frees it.
  sessions_.insert(session.get());
  session.release();
}

bool FindSessionSet::Contains(HANDLE handle) const {
  SrwGuard guard(&lock_, SrwGuard::kShared);
  return sessions_.count(handle) != 0;
}

bool FindSessionSet::Close(HANDLE handle) {
  bool live;
  {
    SrwGuard guard(&lock_, SrwGuard::kExclusive);
    live = sessions_.erase(handle) != 0;
  }
  if (live) delete static_cast<FindSession*>(handle);
  return live;
}

bool FindSessionSet::Next(HANDLE handle, WIN32_FIND_DATAW* record, bool* exhausted) {
  *exhausted = false;
  // Held shared across the copy so that a close on another thread cannot free
  // the session while its record is read.
  SrwGuard guard(&lock_, SrwGuard::kShared);
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
  return delivered;
}

size_t FindSessionSet::Size() const {
  SrwGuard guard(&lock_, SrwGuard::kShared);
  return sessions_.size();
}
