#include "hooking/hook_transaction.h"

#include <atomic>
#include <cstring>
#include <new>

#include "hooking/instruction_copier.h"
#include "hooking/trampoline.h"

namespace hooking {
namespace {

// A queued attach or detach.
struct HookOperation {
  HookOperation* next;
  BOOL is_remove;
  PVOID* slot;
  uint8_t* target;
  Trampoline* trampoline;
  DWORD saved_protection;
};

// A thread enlisted in the transaction; suspended only while the commit
// writes code.
struct HookThreadEntry {
  HookThreadEntry* next;
  HANDLE thread;
  bool suspended;
};

// The one engine instance; zero at load time.
struct EngineState {
  std::atomic<DWORD> owner_thread_id{0};
  DWORD pending_error = 0;
  PVOID* failed_slot = nullptr;
  HookOperation* operations = nullptr;
  HookThreadEntry* threads = nullptr;
  TrampolineRegions regions;
};

constinit EngineState engine;

constexpr size_t kJumpSize = 5;
// The code area keeps room for the jump back after the moved instructions.
constexpr size_t kMaxCodeLength = kCodeAreaSize - kJumpSize;
// Another processor's instruction fetch is guaranteed to see a locked store
// whole only when it lies within one cache line.
constexpr uintptr_t kCacheLineSize = 64;

bool IsOwner() { return engine.owner_thread_id.load() == GetCurrentThreadId(); }

void MakeJump(uint8_t* out, const uint8_t* at, const uint8_t* destination) {
  out[0] = 0xE9;
  const int32_t displacement = static_cast<int32_t>(reinterpret_cast<uintptr_t>(destination) -
                                                    reinterpret_cast<uintptr_t>(at + kJumpSize));
  std::memcpy(out + 1, &displacement, 4);
}

void WriteJump(uint8_t* at, const uint8_t* destination) { MakeJump(at, at, destination); }

// Replaces the first eight bytes at `at` (or all `n`, when fewer) so that a
// thread arriving there runs either the old ones or the new ones, never a
// mix, even a thread that is not enlisted. They are exchanged in one locked
// operation when they share a cache line; otherwise (across lines, and so
// across pages) arrivals are parked on a two-byte jump to itself while the
// rest is written, and the new first two bytes replace it last.
void WriteHead(uint8_t* at, const uint8_t* bytes, size_t n) {
  const size_t head = n < 8 ? n : 8;
  const auto first = reinterpret_cast<uintptr_t>(at);
  if (first / kCacheLineSize == (first + 7) / kCacheLineSize) {
    auto* word = reinterpret_cast<uint64_t*>(at);
    uint64_t old;
    std::memcpy(&old, at, sizeof old);
    uint64_t replacement;
    do {
      replacement = old;
      std::memcpy(&replacement, bytes, head);
    } while (!__atomic_compare_exchange_n(word, &old, replacement, false, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    return;
  }
  auto* pair = reinterpret_cast<uint16_t*>(at);
  __atomic_exchange_n(pair, static_cast<uint16_t>(0xFEEB), __ATOMIC_SEQ_CST);  // jmp $
  std::memcpy(at + 2, bytes + 2, head - 2);
  uint16_t first_two;
  std::memcpy(&first_two, bytes, 2);
  __atomic_exchange_n(pair, first_two, __ATOMIC_SEQ_CST);
}

// Replaces the first `n` bytes at `at`, a function's entry. Bytes beyond the
// first eight are reached only through the first ones: an attach writes its
// jump first and the filler after it, so that a thread entering the old
// instructions never runs into filler; a detach restores them before the
// entry that leads into them.
void WriteEntry(uint8_t* at, const uint8_t* bytes, size_t n, bool restoring) {
  if (n > 8 && restoring) std::memcpy(at + 8, bytes + 8, n - 8);
  WriteHead(at, bytes, n);
  if (n > 8 && !restoring) std::memcpy(at + 8, bytes + 8, n - 8);
}

bool IsSegmentPrefix(uint8_t b) {
  return b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65;
}

// True when the instruction at `p` ends a function: nothing after it in the
// target can be assumed to be code of the same function.
bool EndsFunction(const uint8_t* p) {
  switch (p[0]) {
    case 0xE9:
    case 0xEB:
    case 0xE0:
    case 0xC2:
    case 0xC3:
    case 0xCC:
      return true;
    default:
      break;
  }
  if (p[0] == 0xF3 && p[1] == 0xC3) return true;
  if (p[0] == 0xFF && p[1] == 0x25) return true;
  return IsSegmentPrefix(p[0]) && p[1] == 0xFF && p[2] == 0x25;
}

// True for a relative call (E8), whatever prefixes it carries.
bool IsRelativeCall(const uint8_t* p, const uint8_t* end) {
  while (p < end && (IsSegmentPrefix(*p) || *p == 0x66 || *p == 0x67 || *p == 0xF0 || *p == 0xF2 ||
                     *p == 0xF3)) {
    ++p;
  }
  return p < end && *p == 0xE8;
}

// Length of the padding form at `p`, 0 when `p` is not padding.
size_t FillerLength(const uint8_t* p) {
  static constexpr uint8_t kForms[][12] = {
      {1, 0x90},
      {2, 0x66, 0x90},
      {3, 0x0F, 0x1F, 0x00},
      {4, 0x0F, 0x1F, 0x40, 0x00},
      {5, 0x0F, 0x1F, 0x44, 0x00, 0x00},
      {6, 0x66, 0x0F, 0x1F, 0x44, 0x00, 0x00},
      {7, 0x0F, 0x1F, 0x80, 0x00, 0x00, 0x00, 0x00},
      {8, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
      {9, 0x66, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
      {10, 0x66, 0x66, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
      {11, 0x66, 0x66, 0x66, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
      {1, 0xCC},
  };
  for (const auto& form : kForms) {
    if (std::memcmp(p, form + 1, form[0]) == 0) return form[0];
  }
  return 0;
}

// Moves the first instructions of `target` into the trampoline's code area
// and fills in its bookkeeping. Returns 0 or the error of the attach.
DWORD BuildTrampoline(Trampoline* trampoline, uint8_t* target, uint8_t* code) {
  std::memset(trampoline->offset_map, 0, sizeof trampoline->offset_map);
  uint8_t* const start = trampoline->code;
  uint8_t* const pool_limit = start + kCodeAreaSize;
  uint8_t* w = start;
  const uint8_t* s = target;
  size_t moved = 0;
  unsigned n = 0;
  uintptr_t branch_targets[kOffsetMapSize] = {};
  for (;;) {
    // Measure first: the copy must fit the code area with the jump back
    // (a widened copy is at most 4 longer). An instruction the copier
    // refuses (invalid, or one no copy can keep) cannot be moved.
    const uint8_t* next = CopyInstruction(nullptr, nullptr, s, nullptr, nullptr);
    if (next == nullptr) return ERROR_INVALID_BLOCK;
    const size_t length = static_cast<size_t>(next - s);
    if (static_cast<size_t>(w - start) + length > kMaxCodeLength) return ERROR_INVALID_HANDLE;
    int32_t extra = 0;
    uintptr_t branch = NoBranchTarget;
    CopyInstruction(w, pool_limit, s, &branch, &extra);
    // A loop/jcxz or 16-bit displacement that no longer reaches its
    // destination cannot be moved without changing where it jumps.
    if (extra < 0 || extra == 2) return ERROR_INVALID_BLOCK;
    // A call of the very next instruction pushes its own address for the
    // code to read: moved, it would push the trampoline's.
    if (IsRelativeCall(s, next) && branch == reinterpret_cast<uintptr_t>(next)) {
      return ERROR_INVALID_BLOCK;
    }
    w += length + extra;
    if (static_cast<size_t>(w - start) > kMaxCodeLength) return ERROR_INVALID_HANDLE;
    const uint8_t* instruction = s;
    s = next;
    moved = static_cast<size_t>(s - target);
    branch_targets[n] = branch;
    trampoline->offset_map[n++] = static_cast<uint8_t>(((w - start) << 3) | (moved & 7));
    if (n == kOffsetMapSize || EndsFunction(instruction) || moved >= kJumpSize) break;
  }
  while (moved < kJumpSize) {
    const size_t filler = FillerLength(target + moved);
    if (filler == 0) return ERROR_INVALID_BLOCK;
    moved += filler;
  }
  // A branch into the replaced bytes would land in the jump written over
  // them: the moved code would no longer do what it did.
  const auto first = reinterpret_cast<uintptr_t>(target);
  for (uintptr_t branch : branch_targets) {
    if (branch == NoBranchTarget || branch == UnknownBranchTarget) continue;
    if (branch >= first && branch < first + moved) return ERROR_INVALID_BLOCK;
  }
  // The restore area must hold every replaced byte.
  if (moved > kRestoreAreaSize) return ERROR_INVALID_HANDLE;

  trampoline->code_length = static_cast<uint8_t>(w - start);
  trampoline->restore_length = static_cast<uint8_t>(moved);
  std::memcpy(trampoline->restore, target, moved);
  trampoline->resume = target + moved;
  trampoline->replacement = code;
  WriteJump(w, trampoline->resume);
  std::memset(w + kJumpSize, kFillByte, static_cast<size_t>(pool_limit - (w + kJumpSize)));
  return 0;
}

// Records the first failure of the transaction.
DWORD Fail(DWORD error, PVOID* slot) {
  engine.pending_error = error;
  engine.failed_slot = slot;
  return error;
}

void ResumeEnlistedThreads() {
  for (HookThreadEntry* entry = engine.threads; entry != nullptr; entry = entry->next) {
    if (entry->suspended) ResumeThread(entry->thread);
    entry->suspended = false;
  }
}

void FreeThreadEntries() {
  while (HookThreadEntry* entry = engine.threads) {
    engine.threads = entry->next;
    delete entry;
  }
}

// Suspends every enlisted thread and waits until each has really stopped
// (reading its context does). A thread that has ended meanwhile is skipped:
// its object is signalled. Its exit code cannot tell, since a thread may end
// with 259, the value that also means "still running".
// Returns 0, or the error of a live thread that could not be suspended, in
// which case the threads suspended so far are resumed.
DWORD SuspendEnlistedThreads() {
  for (HookThreadEntry* entry = engine.threads; entry != nullptr; entry = entry->next) {
    if (SuspendThread(entry->thread) == static_cast<DWORD>(-1)) {
      const DWORD error = GetLastError();
      if (WaitForSingleObject(entry->thread, 0) == WAIT_OBJECT_0) continue;
      ResumeEnlistedThreads();
      return error != 0 ? error : ERROR_INVALID_HANDLE;
    }
    entry->suspended = true;
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(entry->thread, &context);
  }
  return 0;
}

// True when an operation of the open transaction already names this slot or
// this code: a second one would orphan a trampoline or free one twice.
bool AlreadyQueued(PVOID* slot, const void* target, const void* trampoline) {
  for (HookOperation* op = engine.operations; op != nullptr; op = op->next) {
    if (op->slot == slot || op->target == target ||
        (trampoline != nullptr && op->trampoline == trampoline)) {
      return true;
    }
  }
  return false;
}

// Moves a suspended thread's instruction pointer out of bytes that the
// commit rewrote, to the equivalent instruction.
void FixUpThread(HANDLE thread) {
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_CONTROL;
  if (!GetThreadContext(thread, &context)) return;
  for (HookOperation* op = engine.operations; op != nullptr; op = op->next) {
    const Trampoline* t = op->trampoline;
    const auto* tramp = reinterpret_cast<const uint8_t*>(t);
    const uintptr_t ip = context.Eip;
    uintptr_t moved_to = 0;
    if (op->is_remove) {
      if (ip < reinterpret_cast<uintptr_t>(tramp) || ip >= reinterpret_cast<uintptr_t>(tramp + 72))
        continue;
      const uint8_t k = static_cast<uint8_t>(ip - reinterpret_cast<uintptr_t>(tramp));
      // At the jump back the thread continues at the first byte not moved;
      // the offset map keeps target offsets only modulo 8.
      moved_to = reinterpret_cast<uintptr_t>(op->target);
      if (k >= t->code_length) {
        moved_to += t->restore_length;
      } else {
        for (uint8_t entry : t->offset_map) {
          if ((entry >> 3) == k) {
            moved_to += entry & 7;
            break;
          }
        }
      }
    } else {
      const uintptr_t target = reinterpret_cast<uintptr_t>(op->target);
      if (ip < target || ip >= target + t->restore_length) continue;
      const uint8_t k = static_cast<uint8_t>(ip - target);
      moved_to = reinterpret_cast<uintptr_t>(tramp);
      // k == 0 is the start of the copy; the last entry may also read 0
      // (8 bytes moved, modulo 8).
      if (k != 0) {
        for (uint8_t entry : t->offset_map) {
          if ((entry & 7) == k) {
            moved_to += entry >> 3;
            break;
          }
        }
      }
    }
    context.Eip = static_cast<DWORD>(moved_to);
    SetThreadContext(thread, &context);
  }
}

}  // namespace

unsigned HookRegionCount() { return engine.regions.RegionCount(); }
unsigned HookTrampolineCount() { return engine.regions.TrampolineCount(); }

}  // namespace hooking

using hooking::engine;
using hooking::HookOperation;
using hooking::HookThreadEntry;
using hooking::Trampoline;

DWORD HookTransactionBegin() {
  if (engine.owner_thread_id.load() != 0) return ERROR_INVALID_OPERATION;
  DWORD expected = 0;
  if (!engine.owner_thread_id.compare_exchange_strong(expected, GetCurrentThreadId())) {
    return ERROR_INVALID_OPERATION;
  }
  engine.operations = nullptr;
  engine.threads = nullptr;
  engine.failed_slot = nullptr;
  if (DWORD error = engine.regions.MakeWritable()) {
    engine.pending_error = error;
    return error;
  }
  engine.pending_error = 0;
  return 0;
}

DWORD HookEnlistThread(HANDLE thread) {
  // Outside its own transaction a caller could leave a thread on the list of
  // someone else's, or on no list at all.
  if (!hooking::IsOwner()) return ERROR_INVALID_OPERATION;
  if (engine.pending_error != 0) return engine.pending_error;
  if (thread == GetCurrentThread() || GetThreadId(thread) == GetCurrentThreadId()) return 0;
  // The thread is suspended only by the commit, after every record of the
  // transaction exists: a suspended thread may hold the heap's lock.
  auto* entry = new (std::nothrow) HookThreadEntry{engine.threads, thread, false};
  if (entry == nullptr) {
    engine.pending_error = ERROR_NOT_ENOUGH_MEMORY;
    engine.failed_slot = nullptr;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  engine.threads = entry;
  return 0;
}

DWORD HookAttach(PVOID* slot, PVOID replacement) {
  return HookAttachWithResults(slot, replacement, nullptr, nullptr, nullptr);
}

DWORD HookAttachWithResults(PVOID* slot, PVOID replacement, PVOID* out_trampoline,
                            PVOID* out_target, PVOID* out_replacement) {
  if (out_trampoline != nullptr) *out_trampoline = nullptr;
  if (out_target != nullptr) *out_target = nullptr;
  if (out_replacement != nullptr) *out_replacement = nullptr;
  if (replacement == nullptr) return ERROR_INVALID_PARAMETER;
  if (!hooking::IsOwner()) return ERROR_INVALID_OPERATION;
  if (engine.pending_error != 0) return engine.pending_error;
  if (slot == nullptr) return ERROR_INVALID_HANDLE;
  if (*slot == nullptr) return hooking::Fail(ERROR_INVALID_HANDLE, slot);

  auto* target = static_cast<uint8_t*>(ResolveCodeAddress(*slot, nullptr));
  auto* code = static_cast<uint8_t*>(ResolveCodeAddress(replacement, nullptr));
  if (target == code) {
    engine.failed_slot = slot;
    return 0;
  }
  // One operation per slot and per function in a transaction, and never an
  // attach over a trampoline of this engine (the slot's hook is live).
  if (hooking::AlreadyQueued(slot, target, nullptr) || engine.regions.Holds(target)) {
    return hooking::Fail(ERROR_INVALID_BLOCK, slot);
  }
  if (out_target != nullptr) *out_target = target;
  if (out_replacement != nullptr) *out_replacement = code;

  DWORD error = 0;
  Trampoline* trampoline = nullptr;
  auto* op = new (std::nothrow) HookOperation{};
  if (op == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  } else if ((trampoline = engine.regions.Allocate(target)) == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    if (out_trampoline != nullptr) *out_trampoline = trampoline;
    error = hooking::BuildTrampoline(trampoline, target, code);
  }
  DWORD old_protection = 0;
  if (error == 0 && !VirtualProtect(target, trampoline->restore_length, PAGE_EXECUTE_READWRITE,
                                    &old_protection)) {
    error = GetLastError();
  }
  if (error != 0) {
    if (trampoline != nullptr) {
      engine.regions.Free(trampoline);
      engine.regions.ReleaseEmpty();
    }
    if (out_trampoline != nullptr) *out_trampoline = nullptr;
    if (out_target != nullptr) *out_target = nullptr;
    if (out_replacement != nullptr) *out_replacement = nullptr;
    delete op;
    return hooking::Fail(error, slot);
  }
  *op = HookOperation{engine.operations, FALSE, slot, target, trampoline, old_protection};
  engine.operations = op;
  return 0;
}

DWORD HookDetach(PVOID* slot, PVOID replacement) {
  if (!hooking::IsOwner()) return ERROR_INVALID_OPERATION;
  if (engine.pending_error != 0) return engine.pending_error;
  if (replacement == nullptr) return ERROR_INVALID_PARAMETER;
  if (slot == nullptr) return ERROR_INVALID_HANDLE;
  if (*slot == nullptr) return hooking::Fail(ERROR_INVALID_HANDLE, slot);

  auto* op = new (std::nothrow) HookOperation{};
  if (op == nullptr) return hooking::Fail(ERROR_NOT_ENOUGH_MEMORY, slot);
  auto* trampoline = static_cast<Trampoline*>(ResolveCodeAddress(*slot, nullptr));
  auto* code = static_cast<uint8_t*>(ResolveCodeAddress(replacement, nullptr));
  // Only a live trampoline of this engine, built for this replacement, can
  // be taken apart, and only once.
  DWORD error = 0;
  if (!engine.regions.Contains(trampoline) || trampoline->restore_length == 0 ||
      trampoline->restore_length > hooking::kRestoreAreaSize || trampoline->replacement != code) {
    error = ERROR_INVALID_BLOCK;
  }
  uint8_t* target = nullptr;
  if (error == 0) {
    target = trampoline->resume - trampoline->restore_length;
    if (hooking::AlreadyQueued(slot, target, trampoline)) error = ERROR_INVALID_BLOCK;
  }
  DWORD old_protection = 0;
  if (error == 0 && !VirtualProtect(target, trampoline->restore_length, PAGE_EXECUTE_READWRITE,
                                    &old_protection)) {
    error = GetLastError();
  }
  if (error != 0) {
    delete op;
    return hooking::Fail(error, slot);
  }
  *op = HookOperation{engine.operations, TRUE, slot, target, trampoline, old_protection};
  engine.operations = op;
  return 0;
}

DWORD HookTransactionCommit() { return HookCommitWithFailedSlot(nullptr); }

DWORD HookCommitWithFailedSlot(PVOID** out_failed_slot) {
  if (!hooking::IsOwner()) {
    if (out_failed_slot != nullptr) *out_failed_slot = nullptr;
    return ERROR_INVALID_OPERATION;
  }
  if (out_failed_slot != nullptr) *out_failed_slot = engine.failed_slot;
  if (engine.pending_error == 0) {
    // A live thread that cannot be stopped fails the transaction, as a
    // failed enlistment would: nothing is written while it may run there.
    if (DWORD error = hooking::SuspendEnlistedThreads()) {
      engine.pending_error = error;
      engine.failed_slot = nullptr;
      if (out_failed_slot != nullptr) *out_failed_slot = nullptr;
    }
  }
  if (engine.pending_error != 0) {
    const DWORD error = engine.pending_error;
    HookTransactionCancel();
    return error;
  }
  // The transaction's own results, read while it is still ours: once the
  // owner is cleared another thread's begin may change them.
  PVOID* const failed_slot = engine.failed_slot;

  // From here until the threads are resumed nothing may allocate or take a
  // lock: a suspended thread may hold it.
  for (HookOperation* op = engine.operations; op != nullptr; op = op->next) {
    Trampoline* t = op->trampoline;
    if (op->is_remove) {
      hooking::WriteEntry(op->target, t->restore, t->restore_length, true);
      *op->slot = op->target;
    } else {
      uint8_t bytes[hooking::kRestoreAreaSize];
      hooking::MakeJump(bytes, op->target, t->replacement);
      std::memset(bytes + hooking::kJumpSize, hooking::kFillByte,
                  t->restore_length - hooking::kJumpSize);
      hooking::WriteEntry(op->target, bytes, t->restore_length, false);
      *op->slot = t->code;
    }
  }
  for (HookThreadEntry* entry = engine.threads; entry != nullptr; entry = entry->next) {
    if (entry->suspended) hooking::FixUpThread(entry->thread);
  }

  // A removed hook's trampoline is kept with its code: a thread inside a
  // function that the moved instructions called returns into it later.
  for (HookOperation* op = engine.operations; op != nullptr; op = op->next) {
    DWORD ignored;
    VirtualProtect(op->target, op->trampoline->restore_length, op->saved_protection, &ignored);
    FlushInstructionCache(GetCurrentProcess(), op->target, op->trampoline->restore_length);
    if (op->is_remove) engine.regions.Retire(op->trampoline);
  }
  engine.regions.MakeExecuteRead();
  hooking::ResumeEnlistedThreads();

  while (HookOperation* op = engine.operations) {
    engine.operations = op->next;
    delete op;
  }
  hooking::FreeThreadEntries();
  engine.owner_thread_id.store(0);
  if (out_failed_slot != nullptr) *out_failed_slot = failed_slot;
  return 0;
}

DWORD HookTransactionCancel() {
  if (!hooking::IsOwner()) return ERROR_INVALID_OPERATION;
  bool freed = false;
  while (HookOperation* op = engine.operations) {
    engine.operations = op->next;
    DWORD ignored;
    VirtualProtect(op->target, op->trampoline->restore_length, op->saved_protection, &ignored);
    if (!op->is_remove) {
      engine.regions.Free(op->trampoline);
      freed = true;
    }
    delete op;
  }
  // Regions that only the discarded attaches used go back to the system.
  if (freed) engine.regions.ReleaseEmpty();
  engine.regions.MakeExecuteRead();
  hooking::ResumeEnlistedThreads();
  hooking::FreeThreadEntries();
  engine.owner_thread_id.store(0);
  return 0;
}
