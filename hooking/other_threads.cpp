#include "hooking/other_threads.h"

#include <tlhelp32.h>

#include "hooking/hook_transaction.h"

namespace hooking {

OtherThreads::~OtherThreads() {
  for (HANDLE handle : handles_) CloseHandle(handle);
}

DWORD OtherThreads::Open() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return GetLastError();
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self) continue;
    // SYNCHRONIZE: the commit asks the thread object whether a thread it
    // cannot suspend has ended.
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                                   THREAD_QUERY_INFORMATION | SYNCHRONIZE,
                               FALSE, entry.th32ThreadID);
    if (thread != nullptr) {
      // Start-up runs under the loader lock of a game that may be short of
      // memory: a list that cannot grow ends the listing with an error, and
      // no exception leaves for DllMain.
      try {
        handles_.push_back(thread);
      } catch (...) {
        CloseHandle(thread);
        CloseHandle(snapshot);
        return ERROR_OUTOFMEMORY;
      }
    }
    entry.dwSize = sizeof entry;
  }
  CloseHandle(snapshot);
  return 0;
}

DWORD OtherThreads::EnlistAll() const {
  for (HANDLE handle : handles_) {
    if (DWORD error = HookEnlistThread(handle)) return error;
  }
  return 0;
}

}  // namespace hooking
