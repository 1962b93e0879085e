// Trampolines and the regions of executable memory that hold them.
//
// A Trampoline runs the instructions an attach displaced from a target and
// jumps back into the rest of the target. Its 72-byte layout is fixed:
// commit-time thread fix-up and region bookkeeping index into it.
// TrampolineRegions owns every region (64 KiB blocks of 910 slots, of which
// slots 3 to 909 are handed out) from their creation until they are
// released empty; the hook transaction engine owns the single instance.
//
// A trampoline whose hook is detached is kept, not freed: a thread may
// still be inside a function that its moved instructions called, and will
// return into it. Its code stays intact and executable for the life of the
// process (72 bytes per detach), and its region is never released.

#ifndef HOOKING_TRAMPOLINE_H_
#define HOOKING_TRAMPOLINE_H_

#include <cstddef>
#include <cstdint>

namespace hooking {

inline constexpr size_t kCodeAreaSize = 30;
inline constexpr size_t kRestoreAreaSize = 22;
inline constexpr size_t kOffsetMapSize = 8;
inline constexpr uint8_t kFillByte = 0xCC;

struct Trampoline {
  // Moved instructions, the jump back to `resume`, then 0xCC.
  uint8_t code[kCodeAreaSize];
  // Bytes of moved instructions in `code`; the jump back starts here.
  uint8_t code_length;
  uint8_t filler1;
  // The target's first bytes as they were before the attach.
  uint8_t restore[kRestoreAreaSize];
  // Target bytes the attach replaces.
  uint8_t restore_length;
  uint8_t filler2;
  // Entry n: bits 0-2 the target offset past the n-th moved instruction
  // (mod 8), bits 3-7 the code offset past its copy.
  uint8_t offset_map[kOffsetMapSize];
  // First target byte not moved; while the slot is free, the next free slot.
  uint8_t* resume;
  // Code address of the replacement function.
  uint8_t* replacement;
};

static_assert(sizeof(void*) == 4, "the trampoline layout is that of 32-bit x86");
static_assert(sizeof(Trampoline) == 72);
static_assert(offsetof(Trampoline, code_length) == 30);
static_assert(offsetof(Trampoline, restore) == 32);
static_assert(offsetof(Trampoline, restore_length) == 54);
static_assert(offsetof(Trampoline, offset_map) == 56);
static_assert(offsetof(Trampoline, resume) == 64);
static_assert(offsetof(Trampoline, replacement) == 68);

inline constexpr uint32_t kRegionSignature = 0x52727464;  // "dtrR"
inline constexpr uintptr_t kRegionSize = 0x10000;
inline constexpr unsigned kRegionSlots = kRegionSize / sizeof(Trampoline);  // 910
inline constexpr unsigned kFirstUsableSlot = 3;

// Header at the start of each region (inside slot 0).
struct TrampolineRegion {
  uint32_t signature;
  TrampolineRegion* next;
  Trampoline* free_head;
};

class TrampolineRegions {
 public:
  // Takes a free trampoline within reach of a 32-bit jump from `target`,
  // making a new region near the target when no region has one; the
  // trampoline comes back filled with 0xCC. Null when none can be placed.
  Trampoline* Allocate(uint8_t* target);

  // Zeroes a trampoline and puts it back on its region's free list. Only for
  // one that never ran: taken by an attach that failed or was discarded.
  void Free(Trampoline* trampoline);

  // Ends a detached hook's trampoline without freeing it: the code stays as
  // it is, the slot is never handed out again, and the trampoline no longer
  // counts as a live hook (its restore length becomes 0).
  void Retire(Trampoline* trampoline);

  // Releases every region that holds no live trampoline.
  void ReleaseEmpty();

  // Page protection of all regions: writable while a transaction is open,
  // execute-read otherwise. Writable returns 0 or the first error.
  uint32_t MakeWritable();
  void MakeExecuteRead();

  // Number of regions currently held, and of trampolines taken from them,
  // live or retired (for leak checks).
  unsigned RegionCount() const;
  unsigned TrampolineCount() const;

  // True when `p` is a trampoline slot of one of the regions.
  bool Contains(const void* p) const;
  // True when `p` lies anywhere inside one of the regions.
  bool Holds(const void* p) const;

 private:
  Trampoline* Take(TrampolineRegion* region, uintptr_t lo, uintptr_t hi);
  TrampolineRegion* MakeRegion(uintptr_t target, uintptr_t lo, uintptr_t hi);

  TrampolineRegion* head_ = nullptr;
  TrampolineRegion* current_ = nullptr;
};

}  // namespace hooking

#endif  // HOOKING_TRAMPOLINE_H_
