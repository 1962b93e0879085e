// Hook transactions on real code of this process: assembly functions with
// exact first bytes, and the system's own file functions.

#include "hooking/hook_transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "hooking/other_threads.h"
#include "hooking/trampoline.h"

extern "C" {
int HtPlainTarget(int x);
int HtLineStartTarget(int x);
int HtLineCrossingTarget(int x);
int HtCallTarget(int x);
int HtKernelFrameTarget(int x);
int HtHotPatchTarget(int x);
int HtNearJmpEntry(int x);
int HtCallWaitTarget(int x);
int __fastcall HtJccTarget(int x);
int __fastcall HtEightByteTarget(int x);
int HtJmpTarget(int x);
int HtStressTarget(int x);
int HtRetFiller();
int HtTooShort();
int HtLongPrefixes(int x);
int HtVeryLongPrefixes(int x);
int HtLoopTarget();
int HtShortJmpEntry(int x);
int HtShortJmpBody(int x);
int HtEbToE9(int x);
void HtEbToStub();
void HtEbToStubJump();
void HtImportStub();
void HtHotPatchImportStub();
DWORD WINAPI HtParkedCaller(void*);
void HtParkSpin();
extern volatile LONG HtParkStarted;
extern int (*HtWaiter)();
}

namespace {

using hooking::Trampoline;

int ReplacementPlain(int x) { return 1000 + x; }
int ReplacementCall(int x) { return 2000 + x; }
int __fastcall ReplacementJcc(int x) { return 3000 + x; }
int ReplacementJmp(int x) { return 4000 + x; }
int ReplacementOther(int x) { return 5000 + x; }
int ReplacementNone() { return 6000; }

PVOID Code(auto function) { return reinterpret_cast<PVOID>(function); }

std::vector<uint8_t> BytesAt(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + n);
}

// Attaches one replacement in its own transaction.
DWORD AttachOne(PVOID* slot, PVOID replacement, PVOID* trampoline = nullptr) {
  EXPECT_EQ(HookTransactionBegin(), 0u);
  const DWORD attached = HookAttachWithResults(slot, replacement, trampoline, nullptr, nullptr);
  const DWORD committed = HookTransactionCommit();
  return attached != 0 ? attached : committed;
}

DWORD DetachOne(PVOID* slot, PVOID replacement) {
  EXPECT_EQ(HookTransactionBegin(), 0u);
  const DWORD detached = HookDetach(slot, replacement);
  const DWORD committed = HookTransactionCommit();
  return detached != 0 ? detached : committed;
}

template <typename Function>
Function Call(PVOID slot) {
  return reinterpret_cast<Function>(slot);
}

TEST(HookAttach, RedirectsEveryCallerAndKeepsTheOriginalBehindTheSlot) {
  struct Case {
    const char* name;
    PVOID target;
    PVOID replacement;
    int argument;
    int original;
    int replaced;
  };
  const Case cases[] = {
      {"plain prologue", Code(HtPlainTarget), Code(ReplacementPlain), 5, 22, 1005},
      {"relative call first", Code(HtCallTarget), Code(ReplacementCall), 2, 42, 2002},
      {"short jump ends the block", Code(HtJmpTarget), Code(ReplacementJmp), 3, 8, 4003},
      // The entries the system's file functions have.
      {"exception-frame set-up", Code(HtKernelFrameTarget), Code(ReplacementPlain), 4, 15, 1004},
      {"hot-patch prologue", Code(HtHotPatchTarget), Code(ReplacementPlain), 4, 17, 1004},
      {"leading 32-bit jump", Code(HtNearJmpEntry), Code(ReplacementOther), 5, 22, 5005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> before = BytesAt(c.target, 16);
    PVOID slot = c.target;
    PVOID trampoline = nullptr;
    const unsigned trampolines = hooking::HookTrampolineCount();
    ASSERT_EQ(AttachOne(&slot, c.replacement, &trampoline), 0u);
    EXPECT_EQ(slot, trampoline);
    EXPECT_EQ(hooking::HookRegionCount(), 1u);  // every target of this program shares one
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 1);
    const std::vector<uint8_t> code = BytesAt(trampoline, hooking::kCodeAreaSize);
    auto direct = reinterpret_cast<int (*)(int)>(c.target);
    EXPECT_EQ(direct(c.argument), c.replaced);
    EXPECT_EQ(Call<int (*)(int)>(slot)(c.argument), c.original);
    EXPECT_EQ(static_cast<uint8_t*>(c.target)[0], 0xE9);

    ASSERT_EQ(DetachOne(&slot, c.replacement), 0u);
    EXPECT_EQ(slot, c.target);
    EXPECT_EQ(BytesAt(c.target, 16), before);
    EXPECT_EQ(direct(c.argument), c.original);
    // The trampoline is kept, its code intact, for threads still to return
    // into it; nothing else is held.
    EXPECT_EQ(hooking::HookRegionCount(), 1u);
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 1);
    EXPECT_EQ(BytesAt(trampoline, hooking::kCodeAreaSize), code);
  }
}

TEST(HookAttach, WidensAShortConditionalJumpAndMapsEveryMovedInstruction) {
  PVOID slot = Code(HtJccTarget);
  PVOID out_trampoline = nullptr;
  PVOID out_target = nullptr;
  PVOID out_replacement = nullptr;
  ASSERT_EQ(HookTransactionBegin(), 0u);
  ASSERT_EQ(HookAttachWithResults(&slot, Code(ReplacementJcc), &out_trampoline, &out_target,
                                  &out_replacement),
            0u);
  EXPECT_EQ(out_target, Code(HtJccTarget));
  EXPECT_EQ(out_replacement, Code(ReplacementJcc));
  auto* t = static_cast<Trampoline*>(out_trampoline);
  EXPECT_EQ(t->code_length, 11);
  EXPECT_EQ(t->restore_length, 7);
  const uint8_t expected_map[8] = {0x12, 0x44, 0x5F, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(t->offset_map, expected_map, 8));
  EXPECT_EQ(t->code[2], 0x0F);
  EXPECT_EQ(t->code[3], 0x84);
  int32_t displacement;
  std::memcpy(&displacement, t->code + 4, 4);
  EXPECT_EQ(t->code + 8 + displacement, static_cast<uint8_t*>(Code(HtJccTarget)) + 8);
  EXPECT_EQ(t->resume, static_cast<uint8_t*>(Code(HtJccTarget)) + 7);
  EXPECT_EQ(t->code[11], 0xE9);
  EXPECT_EQ(t->code[16], 0xCC);
  ASSERT_EQ(HookTransactionCommit(), 0u);

  EXPECT_EQ(HtJccTarget(0), 3000);
  EXPECT_EQ(Call<int(__fastcall*)(int)>(slot)(0), 100);
  EXPECT_EQ(Call<int(__fastcall*)(int)>(slot)(9), 10);
  ASSERT_EQ(DetachOne(&slot, Code(ReplacementJcc)), 0u);
  EXPECT_EQ(HtJccTarget(0), 100);
}

TEST(HookAttach, StepsOverPaddingAfterAFunctionThatEndsEarly) {
  PVOID slot = Code(HtRetFiller);
  PVOID trampoline = nullptr;
  const unsigned regions = hooking::HookRegionCount();
  const unsigned trampolines = hooking::HookTrampolineCount();
  ASSERT_EQ(HookTransactionBegin(), 0u);
  ASSERT_EQ(HookAttachWithResults(&slot, Code(ReplacementNone), &trampoline, nullptr, nullptr), 0u);
  auto* t = static_cast<Trampoline*>(trampoline);
  EXPECT_EQ(t->restore_length, 5);
  EXPECT_EQ(t->code_length, 1);
  EXPECT_EQ(t->offset_map[0], (1 << 3) | 1);
  ASSERT_EQ(HookTransactionCancel(), 0u);
  EXPECT_EQ(static_cast<uint8_t*>(Code(HtRetFiller))[0], 0xC3);
  // A region that only the cancelled attach used is released.
  EXPECT_EQ(hooking::HookRegionCount(), regions);
  EXPECT_EQ(hooking::HookTrampolineCount(), trampolines);
}

TEST(ResolveCodeAddress, FollowsImportStubsAndPatchJumps) {
  PVOID globals = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(ResolveCodeAddress(nullptr, &globals), nullptr);
  EXPECT_EQ(globals, nullptr);
  EXPECT_EQ(ResolveCodeAddress(Code(HtPlainTarget), nullptr), Code(HtPlainTarget));
  // Through this program's import cell, then on through the system's own
  // forwarding, to where GetFileType really is.
  EXPECT_EQ(ResolveCodeAddress(Code(HtImportStub), nullptr),
            ResolveCodeAddress(Code(&GetFileType), nullptr));
  EXPECT_EQ(ResolveCodeAddress(Code(HtShortJmpEntry), nullptr), Code(HtShortJmpBody));
  EXPECT_EQ(ResolveCodeAddress(Code(HtEbToE9), nullptr), Code(HtPlainTarget));
  EXPECT_EQ(ResolveCodeAddress(Code(HtEbToStub), nullptr), Code(HtEbToStubJump));
}

TEST(ResolveCodeAddress, FollowsAForwardingStubBehindAHotPatchPrologue) {
  EXPECT_EQ(ResolveCodeAddress(Code(HtHotPatchImportStub), nullptr),
            ResolveCodeAddress(Code(&GetFileType), nullptr));
}

// The file functions are rewritten where they live, so that the system's own
// libraries, which call that module directly, reach the replacements too:
// kernel32's exports that only forward there resolve to the function behind.
TEST(ResolveCodeAddress, KernelExportsResolveToTheFunctionThatDoesTheWork) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
  ASSERT_NE(kernel32, nullptr);
  if (kernelbase == nullptr) GTEST_SKIP() << "this system has no kernelbase";
  int forwarded = 0;
  for (const char* name :
       {"CreateFileW", "ReadFile", "CloseHandle", "GetFileSize", "GetFileSizeEx", "SetFilePointer",
        "SetFilePointerEx", "GetFileType", "GetFileAttributesW", "GetFileAttributesExW",
        "FindFirstFileExW", "FindNextFileW", "FindClose", "SetUnhandledExceptionFilter"}) {
    auto* exported = reinterpret_cast<uint8_t*>(GetProcAddress(kernel32, name));
    auto* behind = reinterpret_cast<uint8_t*>(GetProcAddress(kernelbase, name));
    ASSERT_NE(exported, nullptr) << name;
    if (behind == nullptr || behind == exported) continue;
    // Every export in front of a kernelbase function must lead there; an
    // entry whose bytes the engine does not recognise is a failure, not a
    // skip (the patch itself hooks kernelbase's export by name).
    EXPECT_EQ(ResolveCodeAddress(exported, nullptr), behind)
        << name << " begins with an unknown stub: " << std::hex << int{exported[0]} << " "
        << int{exported[1]} << " " << int{exported[2]};
    ++forwarded;
  }
  // Wine and every Windows with kernelbase forward these.
  EXPECT_GT(forwarded, 0);
  // A module's own import thunk in front (the way a DLL built here takes a
  // system function's address) leads on to the same place.
  auto* behind = reinterpret_cast<uint8_t*>(GetProcAddress(kernelbase, "GetFileType"));
  if (behind != nullptr) {
    EXPECT_EQ(ResolveCodeAddress(Code(HtImportStub), nullptr), behind);
  }
}

TEST(HookAttach, RewritesTheCodeBehindAShortJump) {
  PVOID slot = Code(HtShortJmpEntry);
  const std::vector<uint8_t> entry = BytesAt(slot, 2);
  ASSERT_EQ(AttachOne(&slot, Code(ReplacementOther)), 0u);
  EXPECT_EQ(BytesAt(Code(HtShortJmpEntry), 2), entry);
  EXPECT_EQ(HtShortJmpEntry(1), 5001);
  EXPECT_EQ(HtShortJmpBody(1), 5001);
  EXPECT_EQ(Call<int (*)(int)>(slot)(4), 8);
  ASSERT_EQ(DetachOne(&slot, Code(ReplacementOther)), 0u);
  EXPECT_EQ(slot, Code(HtShortJmpBody));
  EXPECT_EQ(HtShortJmpEntry(4), 8);
}

TEST(HookAttach, ReplacementThatIsTheTargetQueuesNothing) {
  PVOID slot = Code(HtPlainTarget);
  PVOID* failed = nullptr;
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookAttach(&slot, Code(HtEbToE9)), 0u);
  EXPECT_EQ(HookCommitWithFailedSlot(&failed), 0u);
  EXPECT_EQ(failed, &slot);
  EXPECT_EQ(slot, Code(HtPlainTarget));
  EXPECT_EQ(HtPlainTarget(1), 10);
}

TEST(HookTransaction, OneOwnerAtATime) {
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookTransactionBegin(), static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(HookEnlistThread(GetCurrentThread()), 0u);

  struct Results {
    DWORD begin, attach, detach, commit, cancel;
  } results{};
  LPTHREAD_START_ROUTINE try_everything = [](void* p) WINAPI -> DWORD {
    auto* r = static_cast<Results*>(p);
    PVOID slot = Code(HtPlainTarget);
    r->begin = HookTransactionBegin();
    r->attach = HookAttach(&slot, Code(ReplacementPlain));
    r->detach = HookDetach(&slot, Code(ReplacementPlain));
    r->commit = HookTransactionCommit();
    r->cancel = HookTransactionCancel();
    return 0;
  };
  HANDLE other = CreateThread(nullptr, 0, try_everything, &results, 0, nullptr);
  ASSERT_NE(other, nullptr);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
  EXPECT_EQ(results.begin, static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(results.attach, static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(results.detach, static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(results.commit, static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(results.cancel, static_cast<DWORD>(ERROR_INVALID_OPERATION));
  EXPECT_EQ(HookTransactionCommit(), 0u);
  EXPECT_EQ(HookTransactionCommit(), static_cast<DWORD>(ERROR_INVALID_OPERATION));
}

TEST(HookTransaction, ArgumentErrorsThatDoNotPoison) {
  PVOID slot = Code(HtPlainTarget);
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookAttach(&slot, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(HookAttach(nullptr, Code(ReplacementPlain)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(HookDetach(&slot, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(HookDetach(nullptr, Code(ReplacementPlain)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(HookTransactionCommit(), 0u);
  EXPECT_EQ(HtPlainTarget(1), 10);
}

// Each of these steps fails, poisons the transaction and makes the commit
// write nothing, not even the good attach queued before it.
TEST(HookTransaction, AFailedStepDiscardsTheWholeTransaction) {
  struct Case {
    const char* name;
    PVOID target;  // null: the slot holds null
    bool detach;
    DWORD error;
  };
  const Case cases[] = {
      {"slot holding null", nullptr, false, ERROR_INVALID_HANDLE},
      {"detach of a slot holding null", nullptr, true, ERROR_INVALID_HANDLE},
      {"target too short", Code(HtTooShort), false, ERROR_INVALID_BLOCK},
      {"instruction longer than 15 bytes", Code(HtLongPrefixes), false, ERROR_INVALID_BLOCK},
      {"prefix chain longer than the code area", Code(HtVeryLongPrefixes), false,
       ERROR_INVALID_BLOCK},
      {"loop displacement out of reach", Code(HtLoopTarget), false, ERROR_INVALID_BLOCK},
      {"detach of a slot that holds no trampoline", Code(HtStressTarget), true,
       ERROR_INVALID_BLOCK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> good_before = BytesAt(Code(HtPlainTarget), 8);
    const std::vector<uint8_t> bad_before =
        c.target != nullptr ? BytesAt(c.target, 8) : std::vector<uint8_t>();
    PVOID good = Code(HtPlainTarget);
    PVOID bad = c.target;
    PVOID trampoline = reinterpret_cast<PVOID>(1);
    PVOID* failed = nullptr;
    ASSERT_EQ(HookTransactionBegin(), 0u);
    ASSERT_EQ(HookAttach(&good, Code(ReplacementPlain)), 0u);
    if (c.detach) {
      EXPECT_EQ(HookDetach(&bad, Code(ReplacementOther)), c.error);
    } else {
      EXPECT_EQ(HookAttachWithResults(&bad, Code(ReplacementOther), &trampoline, nullptr, nullptr),
                c.error);
      EXPECT_EQ(trampoline, nullptr);
    }
    PVOID other = Code(HtCallTarget);
    EXPECT_EQ(HookAttach(&other, Code(ReplacementCall)), c.error);
    EXPECT_EQ(HookEnlistThread(GetCurrentThread()), c.error);
    EXPECT_EQ(HookCommitWithFailedSlot(&failed), c.error);
    EXPECT_EQ(failed, &bad);
    EXPECT_EQ(good, Code(HtPlainTarget));
    EXPECT_EQ(BytesAt(Code(HtPlainTarget), 8), good_before);
    if (c.target != nullptr) {
      EXPECT_EQ(BytesAt(c.target, 8), bad_before);
    }
    // The next transaction starts healthy.
    ASSERT_EQ(HookTransactionBegin(), 0u);
    EXPECT_EQ(HookTransactionCommit(), 0u);
  }
}

TEST(HookDetach, RefusesAReplacementOtherThanTheOneAttached) {
  PVOID slot = Code(HtPlainTarget);
  ASSERT_EQ(AttachOne(&slot, Code(ReplacementPlain)), 0u);
  EXPECT_EQ(DetachOne(&slot, Code(ReplacementOther)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(HtPlainTarget(1), 1001);
  ASSERT_EQ(DetachOne(&slot, Code(ReplacementPlain)), 0u);
  EXPECT_EQ(HtPlainTarget(1), 10);
}

// --- Targets the engine must refuse -------------------------------------------

// Executable memory holding given bytes, for targets that are never run.
class CodeBuffer {
 public:
  explicit CodeBuffer(const std::vector<uint8_t>& bytes) {
    memory_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    std::memset(memory_, 0xCC, 0x1000);
    std::memcpy(memory_, bytes.data(), bytes.size());
  }
  ~CodeBuffer() { VirtualFree(memory_, 0, MEM_RELEASE); }
  uint8_t* code() const { return memory_; }

 private:
  uint8_t* memory_;
};

// Each of these first instructions would run differently, or not at all,
// from a trampoline: the attach fails with 9, nothing is written, and no
// region is left behind.
TEST(HookAttach, RefusesFirstInstructionsThatCannotBeMoved) {
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"invalid opcode", {0xD6, 0x90, 0x90, 0x90, 0x90, 0xC3}},
      {"invalid two-byte opcode", {0x0F, 0x0A, 0x90, 0x90, 0x90, 0xC3}},
      {"short jump with the operand-size prefix", {0x66, 0xEB, 0x10, 0x90, 0x90, 0xC3}},
      {"branch into the moved bytes", {0x74, 0x00, 0x8B, 0x45, 0x08, 0xC3}},
      {"branch back to the first byte", {0x85, 0xC0, 0x75, 0xFC, 0x90, 0xC3}},
      {"call of the next instruction, then pop", {0xE8, 0, 0, 0, 0, 0x58, 0xC3}},
      {"push, then call of the next instruction", {0x55, 0xE8, 0, 0, 0, 0, 0x58, 0xC3}},
      {"instruction longer than 15 bytes",
       {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x8B, 0x44, 0x24,
        0x04, 0xC3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CodeBuffer buffer(c.bytes);
    const std::vector<uint8_t> before = BytesAt(buffer.code(), c.bytes.size());
    PVOID slot = buffer.code();
    PVOID* failed = nullptr;
    const unsigned regions = hooking::HookRegionCount();
    const unsigned trampolines = hooking::HookTrampolineCount();
    ASSERT_EQ(HookTransactionBegin(), 0u);
    EXPECT_EQ(HookAttach(&slot, Code(ReplacementOther)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
    EXPECT_EQ(hooking::HookRegionCount(), regions);
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines);
    EXPECT_EQ(HookCommitWithFailedSlot(&failed), static_cast<DWORD>(ERROR_INVALID_BLOCK));
    EXPECT_EQ(failed, &slot);
    EXPECT_EQ(slot, buffer.code());
    EXPECT_EQ(BytesAt(buffer.code(), c.bytes.size()), before);
  }
}

// An entry is replaced in one locked exchange of its first eight bytes, or,
// when those cross into the next cache line or page, behind a two-byte jump
// to itself.
// Either way the function works hooked and unhooked, and the bytes after a
// short entry are left as they were.
TEST(HookCommit, WritesEntriesWithinAndAcrossAPageBoundary) {
  auto* pages = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(pages, nullptr);
  std::memset(pages, 0xCC, 0x2000);
  // mov eax, 42; ret; then two bytes that belong to something else.
  const std::vector<uint8_t> function = {0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3, 0xAB, 0xCD};
  for (size_t offset : {size_t{0x100}, size_t{0x1000 - 6}, size_t{0x1000 - 1}}) {
    SCOPED_TRACE(offset);
    uint8_t* code = pages + offset;
    std::memcpy(code, function.data(), function.size());
    auto call = reinterpret_cast<int (*)()>(code);
    PVOID slot = code;
    ASSERT_EQ(AttachOne(&slot, Code(ReplacementNone)), 0u);
    EXPECT_EQ(call(), 6000);
    EXPECT_EQ(Call<int (*)()>(slot)(), 42);
    EXPECT_EQ(BytesAt(code + 5, 3), (std::vector<uint8_t>{0xC3, 0xAB, 0xCD}));
    ASSERT_EQ(DetachOne(&slot, Code(ReplacementNone)), 0u);
    EXPECT_EQ(BytesAt(code, function.size()), function);
    EXPECT_EQ(call(), 42);
  }
  VirtualFree(pages, 0, MEM_RELEASE);
}

// The first two bytes of an entry after each instruction that wrote into its
// page during a commit: the page is made read-only, a write faults, the
// handler lets that one instruction through under the trap flag and looks
// at the entry after it.
uint8_t* g_stepped_entry = nullptr;
uint8_t* g_stepped_page = nullptr;
bool g_stepping = false;
std::vector<std::vector<uint8_t>> g_entry_after_write;

// A thread that arrives at the entry right after the commit's first write
// there, while the rest is still to be written, and calls it with 1. It is
// not enlisted, as a game thread that calls the function for the first time
// is not.
int (*g_arrival_function)(int) = nullptr;
HANDLE g_arrival = nullptr;
std::atomic<int> g_arrival_result{-1};
bool g_arrival_returned_while_written = false;

DWORD WINAPI ArriveAtTheEntry(void*) {
  g_arrival_result = g_arrival_function(1);
  return 0;
}

LONG CALLBACK RecordEntryAfterEachWrite(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  DWORD old;
  if (record->ExceptionCode == EXCEPTION_SINGLE_STEP && g_stepping) {
    g_stepping = false;
    if (g_arrival_function != nullptr && g_entry_after_write.empty()) {
      // Time for the thread to start, reach the entry and run whatever the
      // first write left there.
      g_arrival_result = -1;
      g_arrival = CreateThread(nullptr, 0, ArriveAtTheEntry, nullptr, 0, nullptr);
      if (g_arrival != nullptr) WaitForSingleObject(g_arrival, 300);
      g_arrival_returned_while_written = g_arrival_result != -1;
    } else if (g_arrival_function != nullptr && g_arrival != nullptr) {
      // And after every later write, time to run what that one left.
      WaitForSingleObject(g_arrival, 50);
    }
    g_entry_after_write.push_back(BytesAt(g_stepped_entry, 2));
    VirtualProtect(g_stepped_page, 0x1000, PAGE_EXECUTE_READ, &old);
    info->ContextRecord->EFlags &= ~0x100u;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  const auto address = reinterpret_cast<uint8_t*>(record->ExceptionInformation[1]);
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->ExceptionInformation[0] != 1 ||
      address < g_stepped_page || address >= g_stepped_page + 0x1000) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  VirtualProtect(g_stepped_page, 0x1000, PAGE_EXECUTE_READWRITE, &old);
  info->ContextRecord->EFlags |= 0x100u;
  g_stepping = true;
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Another core's instruction fetch sees an 8-byte store whole only within
// one 64-byte line. An entry whose first eight bytes lie in one line is
// replaced by one locked exchange, so the first write already leaves the
// new first bytes; one that spans two lines, even in one page, first parks
// arrivals on a jump to itself (EB FE).
// A second thread arrives at the entry right after the first write and is
// given time to run after every write: it must run the old function or the
// new one, never a mix, and is parked until the commit ends where the entry
// spans two lines. (A torn fetch of one store by another core cannot be
// provoked on purpose; what the test shows is that no write leaves a mix
// for an arriving thread to run. A thread that is already inside the
// displaced instructions is kept safe by enlisting it, which suspends it
// during the commit, so it is not part of this test.)
TEST(HookCommit, ParksArrivalsWhileItWritesAnEntryThatSpansTwoCacheLines) {
  struct Case {
    const char* name;
    int (*function)(int);
    bool parked;
  };
  const Case cases[] = {
      {"entry at the start of a line", HtLineStartTarget, false},
      {"entry at byte 60 of a line", HtLineCrossingTarget, true},
  };
  PVOID handler = AddVectoredExceptionHandler(1, RecordEntryAfterEachWrite);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* entry = reinterpret_cast<uint8_t*>(c.function);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(entry) % 64, c.parked ? 60u : 0u);
    const std::vector<uint8_t> original = BytesAt(entry, 8);
    g_stepped_entry = entry;
    g_stepped_page = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(entry) & ~0xFFFu);
    auto commit_stepped = [&](int arrival_gets) {
      DWORD old;
      EXPECT_TRUE(VirtualProtect(g_stepped_page, 0x1000, PAGE_EXECUTE_READ, &old));
      g_entry_after_write.clear();
      g_arrival = nullptr;
      g_arrival_function = c.function;
      const DWORD result = HookTransactionCommit();
      g_arrival_function = nullptr;
      EXPECT_FALSE(g_stepping);
      EXPECT_NE(g_arrival, nullptr);
      if (g_arrival != nullptr) {
        EXPECT_EQ(WaitForSingleObject(g_arrival, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(g_arrival);
      }
      EXPECT_EQ(g_arrival_result.load(), arrival_gets);
      if (c.parked) {
        EXPECT_FALSE(g_arrival_returned_while_written);
      }
      return result;
    };
    const std::vector<uint8_t> parked = {0xEB, 0xFE};

    PVOID slot = entry;
    ASSERT_EQ(HookTransactionBegin(), 0u);
    ASSERT_EQ(HookAttach(&slot, Code(ReplacementPlain)), 0u);
    ASSERT_EQ(commit_stepped(1001), 0u);
    ASSERT_FALSE(g_entry_after_write.empty());
    const std::vector<uint8_t> jump = BytesAt(entry, 2);
    EXPECT_EQ(jump[0], 0xE9);
    EXPECT_EQ(g_entry_after_write.front(), c.parked ? parked : jump);
    EXPECT_EQ(c.function(1), 1001);
    EXPECT_EQ(Call<int (*)(int)>(slot)(1), 10);

    ASSERT_EQ(HookTransactionBegin(), 0u);
    ASSERT_EQ(HookDetach(&slot, Code(ReplacementPlain)), 0u);
    ASSERT_EQ(commit_stepped(10), 0u);
    ASSERT_FALSE(g_entry_after_write.empty());
    EXPECT_EQ(g_entry_after_write.front(),
              c.parked ? parked : std::vector<uint8_t>(original.begin(), original.begin() + 2));
    EXPECT_EQ(BytesAt(entry, 8), original);
    EXPECT_EQ(c.function(1), 10);
  }
  RemoveVectoredExceptionHandler(handler);
}

// Where the entry stood when the commit first wrote to the page after it.
uint8_t* g_watched_entry = nullptr;
uint8_t* g_watched_page = nullptr;
int g_entry_at_first_write = -1;

LONG CALLBACK RecordEntryAtFirstWrite(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  const auto address = reinterpret_cast<uint8_t*>(record->ExceptionInformation[1]);
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->ExceptionInformation[0] != 1 ||
      address < g_watched_page || address >= g_watched_page + 0x1000) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_entry_at_first_write = g_watched_entry[0];
  DWORD old;
  VirtualProtect(g_watched_page, 0x1000, PAGE_EXECUTE_READWRITE, &old);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Bytes after the first eight belong to the old instructions until the jump
// is in place, and to the restored ones only once the entry is restored: a
// thread that is not enlisted and arrives at the entry meanwhile must never
// run the old first instructions with their last bytes already replaced. So
// an attach writes them after the entry, a detach before it. The page that
// holds them is made read-only for the commit, so that its first write there
// stops in a handler that looks at the entry.
TEST(HookCommit, BytesAfterTheFirstEightFollowTheJumpInAndPrecedeTheRestoredEntry) {
  auto* pages = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(pages, nullptr);
  std::memset(pages, 0xCC, 0x2000);
  // Four NOPs, then mov eax, 0x44332211 whose last byte lies on the next
  // page; ret. Nine bytes are moved.
  const std::vector<uint8_t> function = {0x90, 0x90, 0x90, 0x90, 0xB8,
                                         0x11, 0x22, 0x33, 0x44, 0xC3};
  uint8_t* const code = pages + 0x1000 - 8;
  std::memcpy(code, function.data(), function.size());
  g_watched_entry = code;
  g_watched_page = pages + 0x1000;
  PVOID handler = AddVectoredExceptionHandler(1, RecordEntryAtFirstWrite);
  auto commit_watched = [&] {
    DWORD old;
    EXPECT_TRUE(VirtualProtect(g_watched_page, 0x1000, PAGE_EXECUTE_READ, &old));
    g_entry_at_first_write = -1;
    return HookTransactionCommit();
  };

  PVOID slot = code;
  PVOID trampoline = nullptr;
  ASSERT_EQ(HookTransactionBegin(), 0u);
  ASSERT_EQ(HookAttachWithResults(&slot, Code(ReplacementNone), &trampoline, nullptr, nullptr), 0u);
  EXPECT_EQ(static_cast<Trampoline*>(trampoline)->restore_length, 9u);
  EXPECT_EQ(commit_watched(), 0u);
  EXPECT_EQ(g_entry_at_first_write, 0xE9) << "the jump is written first";
  EXPECT_EQ(reinterpret_cast<int (*)()>(code)(), 6000);
  EXPECT_EQ(Call<int (*)()>(slot)(), 0x44332211);

  ASSERT_EQ(HookTransactionBegin(), 0u);
  ASSERT_EQ(HookDetach(&slot, Code(ReplacementNone)), 0u);
  EXPECT_EQ(commit_watched(), 0u);
  EXPECT_EQ(g_entry_at_first_write, 0xE9) << "the entry is restored last";
  EXPECT_EQ(BytesAt(code, function.size()), function);
  EXPECT_EQ(reinterpret_cast<int (*)()>(code)(), 0x44332211);

  RemoveVectoredExceptionHandler(handler);
  VirtualFree(pages, 0, MEM_RELEASE);
}

// A target already hooked by another tool begins with a relative jump; in
// 32-bit code that jump reaches everything, so however far it goes the
// trampoline is placed near the target.
TEST(HookAttach, ATargetThatJumpsFarAwayStillGetsATrampoline) {
  for (uint32_t displacement : {0x7FFF0000u, 0x80010000u}) {
    SCOPED_TRACE(displacement);
    std::vector<uint8_t> bytes = {0xE9};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(displacement >> (8 * i)));
    CodeBuffer buffer(bytes);
    PVOID slot = buffer.code();
    PVOID trampoline = nullptr;
    const unsigned regions = hooking::HookRegionCount();
    const unsigned trampolines = hooking::HookTrampolineCount();
    ASSERT_EQ(HookTransactionBegin(), 0u);
    EXPECT_EQ(HookAttachWithResults(&slot, Code(ReplacementOther), &trampoline, nullptr, nullptr),
              0u);
    ASSERT_NE(trampoline, nullptr);
    // The copied jump still leads where the original did.
    auto* t = static_cast<Trampoline*>(trampoline);
    int32_t copied;
    std::memcpy(&copied, t->code + 1, 4);
    EXPECT_EQ(t->code[0], 0xE9);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t->code) + 5 + copied,
              reinterpret_cast<uintptr_t>(buffer.code()) + 5 + displacement);
    ASSERT_EQ(HookTransactionCancel(), 0u);
    EXPECT_EQ(hooking::HookRegionCount(), regions);
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines);
  }
}

// One operation per slot in a transaction: a second detach, or an attach
// after a detach, would free a trampoline twice or orphan one.
TEST(HookTransaction, RefusesASecondOperationOnTheSameSlot) {
  PVOID slot = Code(HtPlainTarget);
  const unsigned trampolines = hooking::HookTrampolineCount();
  ASSERT_EQ(AttachOne(&slot, Code(ReplacementPlain)), 0u);
  PVOID live = slot;

  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookDetach(&slot, Code(ReplacementPlain)), 0u);
  EXPECT_EQ(HookDetach(&slot, Code(ReplacementPlain)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(HookTransactionCommit(), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(slot, live);
  EXPECT_EQ(HtPlainTarget(1), 1001);

  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookDetach(&slot, Code(ReplacementPlain)), 0u);
  EXPECT_EQ(HookAttach(&slot, Code(ReplacementOther)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(HookTransactionCommit(), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(slot, live);

  // Another slot naming the same function, and an attach over a live hook.
  PVOID twin = Code(HtCallTarget);
  PVOID twin_again = Code(HtCallTarget);
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookAttach(&twin, Code(ReplacementCall)), 0u);
  EXPECT_EQ(HookAttach(&twin_again, Code(ReplacementOther)),
            static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(HookTransactionCommit(), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookAttach(&slot, Code(ReplacementOther)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  EXPECT_EQ(HookTransactionCommit(), static_cast<DWORD>(ERROR_INVALID_BLOCK));

  ASSERT_EQ(DetachOne(&slot, Code(ReplacementPlain)), 0u);
  EXPECT_EQ(HtPlainTarget(1), 10);
  // Only the one committed attach's trampoline is kept; the discarded
  // attaches left nothing behind.
  EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 1);
}

// Each commit reports its own transaction's result, however soon another
// thread opens the next one.
TEST(HookCommit, ReportsItsOwnResultWhileOtherThreadsBegin) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  auto worker = [&](PVOID target) {
    for (int i = 0; i < 500 && !stop; ++i) {
      PVOID slot = target;
      PVOID* failed = nullptr;
      if (HookTransactionBegin() != 0) continue;
      // The replacement is the target: nothing queued, the slot reported.
      HookAttach(&slot, target);
      if (HookCommitWithFailedSlot(&failed) != 0 || failed != &slot) ++wrong;
    }
  };
  struct Args {
    decltype(worker)* run;
    PVOID target;
  };
  LPTHREAD_START_ROUTINE start = [](void* p) WINAPI -> DWORD {
    auto* args = static_cast<Args*>(p);
    (*args->run)(args->target);
    return 0;
  };
  Args a{&worker, Code(HtPlainTarget)}, b{&worker, Code(HtCallTarget)};
  HANDLE threads[2] = {CreateThread(nullptr, 0, start, &a, 0, nullptr),
                       CreateThread(nullptr, 0, start, &b, 0, nullptr)};
  WaitForMultipleObjects(2, threads, TRUE, 60000);
  stop = true;
  for (HANDLE h : threads) CloseHandle(h);
  EXPECT_EQ(wrong.load(), 0);
}

// Following jumps never reads memory that is not there: the resolution
// stops at the last readable step.
TEST(ResolveCodeAddress, StopsWhereTheChainLeavesReadableMemory) {
  auto* pages = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old;
  ASSERT_TRUE(VirtualProtect(pages + 0x1000, 0x1000, PAGE_NOACCESS, &old));
  uint8_t* const short_jump = pages + 0x1000 - 2;  // EB into the inaccessible page
  short_jump[0] = 0xEB;
  short_jump[1] = 0x10;
  EXPECT_EQ(ResolveCodeAddress(short_jump, nullptr), short_jump);
  uint8_t* const last_byte = pages + 0x1000 - 1;  // EB whose displacement is not there
  last_byte[0] = 0xEB;
  EXPECT_EQ(ResolveCodeAddress(last_byte, nullptr), last_byte);
  uint8_t* const chain = pages;  // EB 00, then E9 into the inaccessible page
  chain[0] = 0xEB;
  chain[1] = 0x00;
  chain[2] = 0xE9;
  const int32_t displacement = 0x1000 - 7 + 0x10;
  std::memcpy(chain + 3, &displacement, 4);
  EXPECT_EQ(ResolveCodeAddress(chain, nullptr), chain + 2);
  VirtualFree(pages, 0, MEM_RELEASE);
}

// --- The system's file functions ------------------------------------------

PVOID real[14];
std::atomic<int> calls[14];

template <int N, typename F>
F Real() {
  ++calls[N];
  return reinterpret_cast<F>(real[N]);
}

HANDLE WINAPI CountCreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                               DWORD f, HANDLE g) {
  return Real<0, decltype(&CreateFileW)>()(a, b, c, d, e, f, g);
}
BOOL WINAPI CountReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
  return Real<1, decltype(&ReadFile)>()(a, b, c, d, e);
}
BOOL WINAPI CountCloseHandle(HANDLE a) { return Real<2, decltype(&CloseHandle)>()(a); }
DWORD WINAPI CountGetFileSize(HANDLE a, LPDWORD b) {
  return Real<3, decltype(&GetFileSize)>()(a, b);
}
BOOL WINAPI CountGetFileSizeEx(HANDLE a, PLARGE_INTEGER b) {
  return Real<4, decltype(&GetFileSizeEx)>()(a, b);
}
DWORD WINAPI CountSetFilePointer(HANDLE a, LONG b, PLONG c, DWORD d) {
  return Real<5, decltype(&SetFilePointer)>()(a, b, c, d);
}
BOOL WINAPI CountSetFilePointerEx(HANDLE a, LARGE_INTEGER b, PLARGE_INTEGER c, DWORD d) {
  return Real<6, decltype(&SetFilePointerEx)>()(a, b, c, d);
}
DWORD WINAPI CountGetFileType(HANDLE a) { return Real<7, decltype(&GetFileType)>()(a); }
DWORD WINAPI CountGetFileAttributesW(LPCWSTR a) {
  return Real<8, decltype(&GetFileAttributesW)>()(a);
}
BOOL WINAPI CountGetFileAttributesExW(LPCWSTR a, GET_FILEEX_INFO_LEVELS b, LPVOID c) {
  return Real<9, decltype(&GetFileAttributesExW)>()(a, b, c);
}
HANDLE WINAPI CountFindFirstFileExW(LPCWSTR a, FINDEX_INFO_LEVELS b, LPVOID c, FINDEX_SEARCH_OPS d,
                                    LPVOID e, DWORD f) {
  return Real<10, decltype(&FindFirstFileExW)>()(a, b, c, d, e, f);
}
BOOL WINAPI CountFindNextFileW(HANDLE a, LPWIN32_FIND_DATAW b) {
  return Real<11, decltype(&FindNextFileW)>()(a, b);
}
BOOL WINAPI CountFindClose(HANDLE a) { return Real<12, decltype(&FindClose)>()(a); }
LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
CountSetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER a) {
  return Real<13, decltype(&SetUnhandledExceptionFilter)>()(a);
}

LONG WINAPI SomeFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// Uses every hooked function once, checking that each answers as the
// system does.
void ExerciseFileFunctions(const std::wstring& directory) {
  const std::wstring path = directory + L"\\hooked.bin";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "0123456789", 10, &written, nullptr));
  EXPECT_EQ(GetFileSize(file, nullptr), 10u);
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size.QuadPart, 10);
  EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
  LARGE_INTEGER to{}, at{};
  to.QuadPart = 3;
  EXPECT_TRUE(SetFilePointerEx(file, to, &at, FILE_CURRENT));
  EXPECT_EQ(at.QuadPart, 5);
  char buffer[8] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, 3, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "567");
  EXPECT_EQ(GetFileType(file), static_cast<DWORD>(FILE_TYPE_DISK));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 10u);
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoStandard, &found,
                                 FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  int names = 1;
  while (FindNextFileW(find, &found)) ++names;
  EXPECT_GE(names, 3);  // ".", ".." and the file
  EXPECT_TRUE(FindClose(find));
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(SomeFilter);
  EXPECT_EQ(SetUnhandledExceptionFilter(previous), SomeFilter);
  DeleteFileW(path.c_str());
}

TEST(HookAttach, SystemFileFunctionsReachTheReplacementsAndBack) {
  const PVOID targets[14] = {Code(&CreateFileW),        Code(&ReadFile),
                             Code(&CloseHandle),        Code(&GetFileSize),
                             Code(&GetFileSizeEx),      Code(&SetFilePointer),
                             Code(&SetFilePointerEx),   Code(&GetFileType),
                             Code(&GetFileAttributesW), Code(&GetFileAttributesExW),
                             Code(&FindFirstFileExW),   Code(&FindNextFileW),
                             Code(&FindClose),          Code(&SetUnhandledExceptionFilter)};
  const PVOID replacements[14] = {
      Code(CountCreateFileW),        Code(CountReadFile),
      Code(CountCloseHandle),        Code(CountGetFileSize),
      Code(CountGetFileSizeEx),      Code(CountSetFilePointer),
      Code(CountSetFilePointerEx),   Code(CountGetFileType),
      Code(CountGetFileAttributesW), Code(CountGetFileAttributesExW),
      Code(CountFindFirstFileExW),   Code(CountFindNextFileW),
      Code(CountFindClose),          Code(CountSetUnhandledExceptionFilter)};
  std::vector<std::vector<uint8_t>> before;
  for (int i = 0; i < 14; ++i) {
    real[i] = targets[i];
    before.push_back(BytesAt(ResolveCodeAddress(targets[i], nullptr), 8));
  }
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  std::wstring directory = std::wstring(temp) + L"hook_transaction_test";
  CreateDirectoryW(directory.c_str(), nullptr);

  const unsigned regions = hooking::HookRegionCount();
  const unsigned trampolines = hooking::HookTrampolineCount();
  ASSERT_EQ(HookTransactionBegin(), 0u);
  EXPECT_EQ(HookEnlistThread(GetCurrentThread()), 0u);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(HookAttach(&real[i], replacements[i]), 0u) << i;
  ASSERT_EQ(HookTransactionCommit(), 0u);
  EXPECT_LE(hooking::HookRegionCount(), regions + 1);  // one module, at most one new region
  const unsigned regions_attached = hooking::HookRegionCount();
  EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 14);
  for (int i = 0; i < 14; ++i) EXPECT_NE(real[i], targets[i]) << i;

  ExerciseFileFunctions(directory);
  for (int i = 0; i < 14; ++i) EXPECT_GE(calls[i].load(), 1) << i;

  ASSERT_EQ(HookTransactionBegin(), 0u);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(HookDetach(&real[i], replacements[i]), 0u) << i;
  ASSERT_EQ(HookTransactionCommit(), 0u);
  EXPECT_EQ(hooking::HookRegionCount(), regions_attached);  // kept trampolines hold it
  EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 14);
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(real[i], ResolveCodeAddress(targets[i], nullptr)) << i;
    EXPECT_EQ(BytesAt(real[i], 8), before[i]) << i;
  }
  int counted[14];
  for (int i = 0; i < 14; ++i) counted[i] = calls[i].load();
  ExerciseFileFunctions(directory);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(calls[i].load(), counted[i]) << i;
  RemoveDirectoryW(directory.c_str());
}

// --- Threads inside rewritten code ------------------------------------------

// A thread parked (spinning) with the stack of a fresh call of a function
// taking 5; tests move it to a chosen instruction before a commit.
class ParkedThread {
 public:
  ParkedThread() {
    HtParkStarted = 0;
    handle_ = CreateThread(nullptr, 0, HtParkedCaller, nullptr, 0, nullptr);
    while (HtParkStarted == 0) Sleep(1);
  }
  ~ParkedThread() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  HANDLE handle() const { return handle_; }

  // The test holds the thread still while it places it; the commit suspends
  // it again while it writes.
  void Suspend() { ASSERT_NE(SuspendThread(handle_), static_cast<DWORD>(-1)); }
  void Resume() { ResumeThread(handle_); }

  // While suspended: waits until it spins, then sets its registers.
  void MoveTo(const void* ip, DWORD eax, DWORD ecx, bool zero_flag) {
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    ASSERT_TRUE(GetThreadContext(handle_, &context));
    ASSERT_EQ(context.Eip, reinterpret_cast<DWORD>(HtParkSpin));
    context.Eip = reinterpret_cast<DWORD>(ip);
    context.Eax = eax;
    context.Ecx = ecx;
    context.EFlags = zero_flag ? (context.EFlags | 0x40) : (context.EFlags & ~0x40u);
    ASSERT_TRUE(SetThreadContext(handle_, &context));
  }

  // The function's result, once the thread has finished.
  DWORD Result() {
    EXPECT_EQ(WaitForSingleObject(handle_, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeThread(handle_, &code);
    return code;
  }

 private:
  HANDLE handle_ = nullptr;
};

const uint8_t* At(auto function, size_t offset) {
  return reinterpret_cast<const uint8_t*>(function) + offset;
}

TEST(HookCommit, MovesAThreadInsideTheRewrittenBytesIntoTheTrampoline) {
  struct Case {
    const char* name;
    PVOID target;
    PVOID replacement;
    size_t offset;  // where the thread stands in the target
    DWORD eax, ecx;
    bool zero_flag;
    DWORD expected;
  };
  const Case cases[] = {
      // mov eax,[esp+4] done: eax = 5.
      {"plain, second instruction", Code(HtPlainTarget), Code(ReplacementPlain), 4, 5, 0, false,
       22},
      {"plain, first byte", Code(HtPlainTarget), Code(ReplacementPlain), 0, 0, 0, false, 22},
      // test ecx,ecx done: the widened jump must take or skip the branch.
      {"widened jump taken", Code(HtJccTarget), Code(ReplacementJcc), 2, 0, 0, true, 100},
      {"widened jump not taken", Code(HtJccTarget), Code(ReplacementJcc), 2, 0, 5, false, 6},
      {"after the widened jump", Code(HtJccTarget), Code(ReplacementJcc), 4, 0, 7, false, 8},
      // 8 bytes moved: the last offset-map entry reads 0 modulo 8 and must
      // not capture a thread at the first byte.
      {"first byte, 8 bytes moved", Code(HtEightByteTarget), Code(ReplacementJcc), 0, 0, 5, false,
       0x1000 + 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PVOID slot = c.target;
    ParkedThread thread;
    thread.Suspend();
    ASSERT_EQ(HookTransactionBegin(), 0u);
    ASSERT_EQ(HookEnlistThread(thread.handle()), 0u);
    thread.MoveTo(At(c.target, c.offset), c.eax, c.ecx, c.zero_flag);
    ASSERT_EQ(HookAttach(&slot, c.replacement), 0u);
    ASSERT_EQ(HookTransactionCommit(), 0u);
    thread.Resume();
    EXPECT_EQ(thread.Result(), c.expected);
    ASSERT_EQ(DetachOne(&slot, c.replacement), 0u);
  }
}

TEST(HookCommit, MovesAThreadInsideARemovedTrampolineBackIntoTheTarget) {
  constexpr size_t kJumpBack = 255;
  struct Case {
    const char* name;
    PVOID target;
    PVOID replacement;
    size_t offset;  // where the thread stands in the trampoline
    DWORD eax, ecx;
    DWORD expected;
  };
  const Case cases[] = {
      {"first instruction", Code(HtPlainTarget), Code(ReplacementPlain), 0, 0, 0, 22},
      {"second instruction", Code(HtPlainTarget), Code(ReplacementPlain), 4, 5, 0, 22},
      {"jump back", Code(HtPlainTarget), Code(ReplacementPlain), kJumpBack, 15, 0, 22},
      // 8 bytes moved: the jump back leads past them, not to the start.
      {"jump back, 8 bytes moved", Code(HtEightByteTarget), Code(ReplacementJcc), kJumpBack, 0x1000,
       11, 0x1000 + 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PVOID slot = c.target;
    const unsigned trampolines = hooking::HookTrampolineCount();
    ASSERT_EQ(AttachOne(&slot, c.replacement), 0u);
    auto* t = static_cast<Trampoline*>(slot);
    ParkedThread thread;
    thread.Suspend();
    ASSERT_EQ(HookTransactionBegin(), 0u);
    ASSERT_EQ(HookEnlistThread(thread.handle()), 0u);
    thread.MoveTo(t->code + (c.offset == kJumpBack ? t->code_length : c.offset), c.eax, c.ecx,
                  false);
    ASSERT_EQ(HookDetach(&slot, c.replacement), 0u);
    ASSERT_EQ(HookTransactionCommit(), 0u);
    thread.Resume();
    EXPECT_EQ(thread.Result(), c.expected);
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 1);
  }
}

HANDLE g_waiter_entered = nullptr;
HANDLE g_waiter_release = nullptr;

int WaitForRelease() {
  SetEvent(g_waiter_entered);
  WaitForSingleObject(g_waiter_release, INFINITE);
  return 40;
}

// A thread inside a function that a trampoline's moved instructions called
// returns into the trampoline, also after the hook is gone: the detach
// leaves the trampoline's code where it was, intact and executable, so the
// thread goes on through it into the restored function. The function can
// be hooked again later.
TEST(HookDetach, KeepsTheTrampolineForAThreadThatWillReturnIntoIt) {
  g_waiter_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_waiter_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HtWaiter = WaitForRelease;
  PVOID slot = Code(HtCallWaitTarget);
  PVOID trampoline = nullptr;
  ASSERT_EQ(AttachOne(&slot, Code(ReplacementCall), &trampoline), 0u);
  const std::vector<uint8_t> code = BytesAt(trampoline, hooking::kCodeAreaSize);
  LPTHREAD_START_ROUTINE call_original = [](void* through) WINAPI -> DWORD {
    return static_cast<DWORD>(reinterpret_cast<int (*)(int)>(through)(2));
  };
  HANDLE thread = CreateThread(nullptr, 0, call_original, slot, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(g_waiter_entered, 20000), static_cast<DWORD>(WAIT_OBJECT_0));

  ASSERT_EQ(HookTransactionBegin(), 0u);
  ASSERT_EQ(HookEnlistThread(thread), 0u);
  ASSERT_EQ(HookDetach(&slot, Code(ReplacementCall)), 0u);
  ASSERT_EQ(HookTransactionCommit(), 0u);
  // Were the code gone, the released thread would crash the test program:
  // it stays blocked instead.
  MEMORY_BASIC_INFORMATION info;
  ASSERT_EQ(VirtualQuery(trampoline, &info, sizeof info), sizeof info);
  ASSERT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
  ASSERT_EQ(info.Protect, static_cast<DWORD>(PAGE_EXECUTE_READ));
  ASSERT_EQ(BytesAt(trampoline, hooking::kCodeAreaSize), code);
  SetEvent(g_waiter_release);
  EXPECT_EQ(WaitForSingleObject(thread, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD result = 0;
  GetExitCodeThread(thread, &result);
  EXPECT_EQ(result, 42u);
  CloseHandle(thread);

  // A kept trampoline is no live hook: it cannot be detached again, and the
  // function takes a fresh one when it is hooked again.
  PVOID kept = trampoline;
  EXPECT_EQ(DetachOne(&kept, Code(ReplacementCall)), static_cast<DWORD>(ERROR_INVALID_BLOCK));
  PVOID again = nullptr;
  ASSERT_EQ(AttachOne(&slot, Code(ReplacementCall), &again), 0u);
  EXPECT_NE(again, trampoline);
  EXPECT_EQ(HtCallWaitTarget(2), 2002);
  EXPECT_EQ(Call<int (*)(int)>(slot)(2), 42);
  ASSERT_EQ(DetachOne(&slot, Code(ReplacementCall)), 0u);
  EXPECT_EQ(HtCallWaitTarget(2), 42);
  CloseHandle(g_waiter_entered);
  CloseHandle(g_waiter_release);
}

TEST(HookEnlistThread, IsAnErrorOutsideTheCallersTransaction) {
  ParkedThread thread;
  EXPECT_EQ(HookEnlistThread(thread.handle()), static_cast<DWORD>(ERROR_INVALID_OPERATION));
  // Not suspended: a suspension now finds the count at 0.
  EXPECT_EQ(SuspendThread(thread.handle()), 0u);
  ResumeThread(thread.handle());
  TerminateThread(thread.handle(), 0);
}

TEST(OtherThreads, OpensEveryThreadButTheCallerForTheTransaction) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  LPTHREAD_START_ROUTINE wait = [](void* event) WINAPI -> DWORD {
    return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  };
  DWORD ids[3];
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) threads[i] = CreateThread(nullptr, 0, wait, release, 0, &ids[i]);
  {
    hooking::OtherThreads others;
    ASSERT_EQ(others.Open(), 0u);
    EXPECT_GE(others.size(), 3u);
    EXPECT_EQ(others.EnlistAll(), static_cast<DWORD>(ERROR_INVALID_OPERATION));  // no transaction
    ASSERT_EQ(HookTransactionBegin(), 0u);
    EXPECT_EQ(others.EnlistAll(), 0u);
    EXPECT_EQ(HookTransactionCommit(), 0u);
  }
  // Every thread was resumed: each one ends once released.
  SetEvent(release);
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(release);
}

// 259 is both STILL_ACTIVE and what a thread returns that ends with
// ERROR_NO_MORE_ITEMS: an enlisted thread that ended so is skipped like any
// other ended thread, whether its handle came from its creator or from the
// transaction's own list of the process's threads.
TEST(HookCommit, SkipsEnlistedThreadsThatEndedWithTheStillActiveCode) {
  LPTHREAD_START_ROUTINE end_at_signal = [](void* event) WINAPI -> DWORD {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return STILL_ACTIVE;
  };
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, end_at_signal, release, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  hooking::OtherThreads others;
  ASSERT_EQ(others.Open(), 0u);
  SetEvent(release);
  ASSERT_EQ(WaitForSingleObject(thread, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  ASSERT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  for (bool from_list : {false, true}) {
    SCOPED_TRACE(from_list ? "handle from the thread list" : "handle from CreateThread");
    PVOID slot = Code(HtPlainTarget);
    ASSERT_EQ(HookTransactionBegin(), 0u);
    if (from_list) {
      ASSERT_EQ(others.EnlistAll(), 0u);
    } else {
      ASSERT_EQ(HookEnlistThread(thread), 0u);
    }
    ASSERT_EQ(HookAttach(&slot, Code(ReplacementPlain)), 0u);
    EXPECT_EQ(HookTransactionCommit(), 0u);
    EXPECT_EQ(HtPlainTarget(1), 1001);
    if (slot != Code(HtPlainTarget)) {
      EXPECT_EQ(DetachOne(&slot, Code(ReplacementPlain)), 0u);
    }
    EXPECT_EQ(HtPlainTarget(1), 10);
  }
  CloseHandle(thread);
  CloseHandle(release);
}

// --- Stress -------------------------------------------------------------------

std::atomic<bool> stop_callers;
std::atomic<int> wrong_results;
std::atomic<int> replaced_calls;

int StressReplacement(int x) {
  ++replaced_calls;
  return 5 * x + 1;
}
int PlainReplacement(int x) {
  ++replaced_calls;
  return 3 * x + 7;
}

DWORD WINAPI CallTargetsInALoop(void* seed) {
  int x = static_cast<int>(reinterpret_cast<intptr_t>(seed));
  auto* volatile stress = HtStressTarget;
  auto* volatile plain = HtPlainTarget;
  while (!stop_callers) {
    if (stress(x) != 5 * x + 1) ++wrong_results;
    if (plain(x) != 3 * x + 7) ++wrong_results;
    ++x;
  }
  return 0;
}

TEST(HookStress, RepeatedTransactionsWhileEnlistedThreadsCallTheTargets) {
  constexpr int kThreads = 3;
  constexpr int kTransactions = 40;
  stop_callers = false;
  HANDLE threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    threads[i] = CreateThread(nullptr, 0, CallTargetsInALoop,
                              reinterpret_cast<void*>(static_cast<intptr_t>(i * 1000)), 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  PVOID stress_slot = Code(HtStressTarget);
  PVOID plain_slot = Code(HtPlainTarget);
  const std::vector<uint8_t> stress_bytes = BytesAt(stress_slot, 8);
  const std::vector<uint8_t> plain_bytes = BytesAt(plain_slot, 8);
  const unsigned regions = hooking::HookRegionCount();
  const unsigned trampolines = hooking::HookTrampolineCount();
  for (int round = 0; round < kTransactions; ++round) {
    const bool attach = round % 2 == 0;
    ASSERT_EQ(HookTransactionBegin(), 0u);
    for (HANDLE thread : threads) ASSERT_EQ(HookEnlistThread(thread), 0u);
    if (attach) {
      ASSERT_EQ(HookAttach(&stress_slot, Code(StressReplacement)), 0u);
      ASSERT_EQ(HookAttach(&plain_slot, Code(PlainReplacement)), 0u);
    } else {
      ASSERT_EQ(HookDetach(&stress_slot, Code(StressReplacement)), 0u);
      ASSERT_EQ(HookDetach(&plain_slot, Code(PlainReplacement)), 0u);
    }
    ASSERT_EQ(HookTransactionCommit(), 0u);
    // Each attach takes two trampolines, which its detach keeps.
    EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + 2 * (round / 2 + 1));
    Sleep(5);
  }
  stop_callers = true;
  for (HANDLE thread : threads) {
    EXPECT_EQ(WaitForSingleObject(thread, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
  }
  EXPECT_EQ(wrong_results.load(), 0);
  EXPECT_GT(replaced_calls.load(), 0);
  EXPECT_EQ(hooking::HookRegionCount(), std::max(regions, 1u));
  EXPECT_EQ(hooking::HookTrampolineCount(), trampolines + kTransactions);
  EXPECT_EQ(BytesAt(stress_slot, 8), stress_bytes);
  EXPECT_EQ(BytesAt(plain_slot, 8), plain_bytes);
}

}  // namespace
