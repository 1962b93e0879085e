// Hook transactions: redirect the entry of 32-bit x86 functions to
// replacements with a 5-byte jump, keeping per function a trampoline through
// which the original behaviour stays reachable.
//
// A caller keeps one pointer variable (the slot) per hooked function. One
// thread opens a transaction, enlists other threads, queues attaches and
// detaches and commits; only the commit writes code. Every record, trampoline
// and region is made while queuing; the commit suspends the enlisted threads
// (a suspended thread may hold the heap's lock, so nothing is allocated
// then), writes each function entry so that no thread can run half of a
// jump, moves threads out of rewritten bytes and removed trampolines, and
// resumes them. Enlisting is an error outside the caller's own transaction;
// an enlisted handle needs the rights to suspend, resume, get and set the
// context, and to wait (a thread that cannot be suspended fails the commit
// unless its object says it has ended).
// Each slot and each function takes one operation per transaction. The first
// failing step poisons the transaction and the commit then discards it and
// reports that error. Every operation but ResolveCodeAddress returns a Win32
// error code, 0 for success.
//
// The engine owns the queued records, the trampolines and their regions; the
// caller owns the slots. A detached hook's trampoline is kept, its code
// intact, for the life of the process: a thread inside a function that the
// moved instructions called returns into it.

#ifndef HOOKING_HOOK_TRANSACTION_H_
#define HOOKING_HOOK_TRANSACTION_H_

#include "platform/platform.h"

DWORD HookTransactionBegin();
DWORD HookEnlistThread(HANDLE thread);
DWORD HookAttach(PVOID* slot, PVOID replacement);
DWORD HookAttachWithResults(PVOID* slot, PVOID replacement, PVOID* out_trampoline,
                            PVOID* out_target, PVOID* out_replacement);
DWORD HookDetach(PVOID* slot, PVOID replacement);
DWORD HookTransactionCommit();
DWORD HookCommitWithFailedSlot(PVOID** out_failed_slot);
DWORD HookTransactionCancel();
// The code a function pointer really reaches: import-table stubs and short
// patch jumps are followed. `out_globals` (optional) is set to null.
PVOID ResolveCodeAddress(PVOID code, PVOID* out_globals);

namespace hooking {
// Number of trampoline regions the engine holds, and of trampolines in them:
// live ones, and those of detached hooks, which are kept with their code for
// threads that may still return into them (for leak checks).
unsigned HookRegionCount();
unsigned HookTrampolineCount();
}  // namespace hooking

#endif  // HOOKING_HOOK_TRANSACTION_H_
