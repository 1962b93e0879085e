#include "hooking/trampoline.h"

#include <cstring>

#include "platform/platform.h"

namespace hooking {
namespace {

constexpr uintptr_t kReach = 0x7FF80000;
constexpr uintptr_t kLowestAddress = 0x80000;
constexpr uintptr_t kHighestAddress = 0xFFF80000;
// System DLLs crowd this range; region searches jump over it.
constexpr uintptr_t kReservedLow = 0x70000000;
constexpr uintptr_t kReservedHigh = 0x80000000;
constexpr uintptr_t kReservedStep = 0x08000000;
// Dynamic code is blocked by process policy (newer SDKs name it
// ERROR_DYNAMIC_CODE_BLOCKED): no address will do.
constexpr DWORD kDynamicCodeBlocked = 1655;

uintptr_t AlignDown(uintptr_t p) { return p & ~(kRegionSize - 1); }
uintptr_t AlignUp(uintptr_t p) { return (p + kRegionSize - 1) & ~(kRegionSize - 1); }

uintptr_t LowerReach(uintptr_t p) { return p > kReach ? p - kReach : kLowestAddress; }
uintptr_t UpperReach(uintptr_t p) { return p < 0x80000000 ? p + kReach : kHighestAddress; }

TrampolineRegion* RegionOf(const void* p) {
  return reinterpret_cast<TrampolineRegion*>(reinterpret_cast<uintptr_t>(p) & ~(kRegionSize - 1));
}

Trampoline* Slot(TrampolineRegion* region, unsigned index) {
  return reinterpret_cast<Trampoline*>(region) + index;
}

bool InReservedRange(uintptr_t p) { return p >= kReservedLow && p <= kReservedHigh; }

enum class TryResult { kAllocated, kBlocked, kTaken };

TryResult TryAllocateAt(uintptr_t candidate, void** out) {
  void* p = VirtualAlloc(reinterpret_cast<void*>(candidate), kRegionSize, MEM_COMMIT | MEM_RESERVE,
                         PAGE_EXECUTE_READWRITE);
  if (p != nullptr) {
    *out = p;
    return TryResult::kAllocated;
  }
  return GetLastError() == kDynamicCodeBlocked ? TryResult::kBlocked : TryResult::kTaken;
}

void* SearchDown(uintptr_t lo, uintptr_t base) {
  if (base < kRegionSize) return nullptr;
  uintptr_t candidate = AlignDown(base - kRegionSize);
  while (candidate > lo) {
    if (InReservedRange(candidate)) {
      candidate -= kReservedStep;
      continue;
    }
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(candidate), &info, sizeof info) == 0) return nullptr;
    if (info.State == MEM_FREE && info.RegionSize >= kRegionSize) {
      void* region = nullptr;
      switch (TryAllocateAt(candidate, &region)) {
        case TryResult::kAllocated:
          return region;
        case TryResult::kBlocked:
          return nullptr;
        case TryResult::kTaken:
          candidate -= kRegionSize;
          continue;
      }
    }
    // A free block has no allocation base; step below the block itself.
    const uintptr_t block = info.State == MEM_FREE
                                ? reinterpret_cast<uintptr_t>(info.BaseAddress)
                                : reinterpret_cast<uintptr_t>(info.AllocationBase);
    if (block < kRegionSize) return nullptr;
    candidate = AlignDown(block - kRegionSize);
  }
  return nullptr;
}

void* SearchUp(uintptr_t base, uintptr_t hi) {
  uintptr_t candidate = AlignUp(base);
  while (candidate < hi) {
    if (InReservedRange(candidate)) {
      candidate += kReservedStep;
      continue;
    }
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(candidate), &info, sizeof info) == 0) return nullptr;
    if (info.State == MEM_FREE && info.RegionSize >= kRegionSize) {
      void* region = nullptr;
      switch (TryAllocateAt(candidate, &region)) {
        case TryResult::kAllocated:
          return region;
        case TryResult::kBlocked:
          return nullptr;
        case TryResult::kTaken:
          candidate += kRegionSize;
          continue;
      }
    }
    const uintptr_t next = AlignUp(reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize);
    if (next <= candidate) return nullptr;  // wrapped past the top of the address space
    candidate = next;
  }
  return nullptr;
}

}  // namespace

Trampoline* TrampolineRegions::Allocate(uint8_t* target) {
  const uintptr_t t = reinterpret_cast<uintptr_t>(target);
  uintptr_t lo = LowerReach(t);
  uintptr_t hi = UpperReach(t);
  // A target that begins with a jump (another tool's hook) needs no
  // narrower window: in 32-bit code a relative jump reaches every address,
  // so the copied jump reaches its destination from anywhere.
  if (current_ == nullptr) current_ = head_;
  if (current_ != nullptr) {
    if (Trampoline* trampoline = Take(current_, lo, hi)) return trampoline;
  }
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    current_ = region;
    if (Trampoline* trampoline = Take(region, lo, hi)) return trampoline;
  }
  TrampolineRegion* region = MakeRegion(t, lo, hi);
  if (region == nullptr) return nullptr;
  return Take(region, lo, hi);
}

Trampoline* TrampolineRegions::Take(TrampolineRegion* region, uintptr_t lo, uintptr_t hi) {
  Trampoline* trampoline = region->free_head;
  if (trampoline == nullptr) return nullptr;
  const uintptr_t p = reinterpret_cast<uintptr_t>(trampoline);
  if (p < lo || p > hi) return nullptr;
  region->free_head = reinterpret_cast<Trampoline*>(trampoline->resume);
  std::memset(trampoline, kFillByte, sizeof *trampoline);
  return trampoline;
}

TrampolineRegion* TrampolineRegions::MakeRegion(uintptr_t target, uintptr_t lo, uintptr_t hi) {
  const uintptr_t base = AlignDown(target);
  void* memory = SearchDown(lo, base);
  if (memory == nullptr) memory = SearchUp(base, hi);
  if (memory == nullptr) return nullptr;
  auto* region = static_cast<TrampolineRegion*>(memory);
  region->signature = kRegionSignature;
  region->free_head = nullptr;
  region->next = head_;
  head_ = region;
  current_ = region;
  for (unsigned index = kRegionSlots - 1; index >= kFirstUsableSlot; --index) {
    Trampoline* slot = Slot(region, index);
    slot->resume = reinterpret_cast<uint8_t*>(region->free_head);
    region->free_head = slot;
  }
  return region;
}

void TrampolineRegions::Free(Trampoline* trampoline) {
  TrampolineRegion* region = RegionOf(trampoline);
  std::memset(trampoline, 0, sizeof *trampoline);
  trampoline->resume = reinterpret_cast<uint8_t*>(region->free_head);
  region->free_head = trampoline;
}

void TrampolineRegions::Retire(Trampoline* trampoline) {
  // The link word (the resume address) points outside the region, as a live
  // trampoline's does, so the slot stays taken and the region held.
  trampoline->restore_length = 0;
  trampoline->replacement = nullptr;
}

void TrampolineRegions::ReleaseEmpty() {
  TrampolineRegion** link = &head_;
  while (TrampolineRegion* region = *link) {
    bool empty = region->signature == kRegionSignature;
    for (unsigned index = 1; empty && index < kRegionSlots; ++index) {
      const uint8_t* word = Slot(region, index)->resume;
      empty = word == nullptr || RegionOf(word) == region;
    }
    if (!empty) {
      link = &region->next;
      continue;
    }
    *link = region->next;
    VirtualFree(region, 0, MEM_RELEASE);
    current_ = nullptr;
  }
}

uint32_t TrampolineRegions::MakeWritable() {
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    DWORD old;
    if (!VirtualProtect(region, kRegionSize, PAGE_EXECUTE_READWRITE, &old)) return GetLastError();
  }
  return 0;
}

void TrampolineRegions::MakeExecuteRead() {
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    DWORD old;
    VirtualProtect(region, kRegionSize, PAGE_EXECUTE_READ, &old);
    FlushInstructionCache(GetCurrentProcess(), region, kRegionSize);
  }
}

unsigned TrampolineRegions::RegionCount() const {
  unsigned count = 0;
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) ++count;
  return count;
}

unsigned TrampolineRegions::TrampolineCount() const {
  unsigned count = 0;
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    count += kRegionSlots - kFirstUsableSlot;
    for (const Trampoline* free = region->free_head; free != nullptr;
         free = reinterpret_cast<const Trampoline*>(free->resume)) {
      --count;
    }
  }
  return count;
}

bool TrampolineRegions::Holds(const void* p) const {
  const TrampolineRegion* owner = RegionOf(p);
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    if (region == owner) return true;
  }
  return false;
}

bool TrampolineRegions::Contains(const void* p) const {
  const TrampolineRegion* owner = RegionOf(p);
  for (TrampolineRegion* region = head_; region != nullptr; region = region->next) {
    if (region == owner) {
      const uintptr_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(region);
      return offset % sizeof(Trampoline) == 0 && offset / sizeof(Trampoline) >= kFirstUsableSlot &&
             offset / sizeof(Trampoline) < kRegionSlots;
    }
  }
  return false;
}

}  // namespace hooking
