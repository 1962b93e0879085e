// Fuzz target: the x86 instruction copier on arbitrary bytes.
//
// The input's first bytes are measured three times: in a roomy buffer (the
// bytes followed by zeros), then with only the bytes the copier may read at
// the very end of a readable page whose next page is inaccessible, measuring
// and copying. A read past the instruction, or past 15 bytes for a refused
// one, faults on that page.
//
// Invariants: an accepted instruction is 1 to 15 bytes long and measures the
// same wherever it lies; a refused one is refused again from its first 15
// bytes; the extra length is 0, 3 or 4 (a widened short jump), 2 (a 16-bit
// displacement that no longer fits) or -3 (a loop that no longer reaches);
// the copy writes exactly length + widening bytes, copies the bytes before
// any displacement unchanged, and a widened jump still reaches the target;
// and every copy, measured again, is one instruction of exactly the length
// written (so never longer than 15 bytes).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hooking/instruction_copier.h"

namespace {

constexpr size_t kMaxLength = 15;
constexpr size_t kRoom = 64;
constexpr uint8_t kCanary = 0xA5;

void Require(bool condition) {
  if (!condition) std::abort();
}

// A readable page followed by an inaccessible one; bytes are placed so that
// they end exactly at the boundary.
uint8_t* GuardedPageEnd() {
  static uint8_t* end = [] {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* memory =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Require(memory != MAP_FAILED);
    auto* bytes = static_cast<uint8_t*>(memory);
    Require(mprotect(bytes + page, page, PROT_NONE) == 0);
    return bytes + page;
  }();
  return end;
}

const uint8_t* Place(const uint8_t* bytes, size_t n) {
  uint8_t* at = GuardedPageEnd() - n;
  std::memcpy(at, bytes, n);
  return at;
}

// A branch target as an offset from its instruction, when it is one; the
// two special values stay as they are.
uint32_t Relative(uintptr_t target, const uint8_t* source) {
  if (target == hooking::NoBranchTarget || target == hooking::UnknownBranchTarget) {
    return static_cast<uint32_t>(target);
  }
  return static_cast<uint32_t>(target - reinterpret_cast<uintptr_t>(source));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t roomy[kRoom] = {};
  std::memcpy(roomy, data, size < kRoom ? size : kRoom);

  uintptr_t target = 1;
  int32_t extra = 1;
  const uint8_t* next = hooking::CopyInstruction(nullptr, nullptr, roomy, &target, &extra);
  if (next == nullptr) {
    Require(target == hooking::NoBranchTarget && extra == 0);
    // Refused from the first 15 bytes alone, without reading further.
    const uint8_t* at = Place(roomy, kMaxLength);
    Require(hooking::CopyInstruction(nullptr, nullptr, at, nullptr, nullptr) == nullptr);
    return 0;
  }
  const size_t length = static_cast<size_t>(next - roomy);
  Require(length >= 1 && length <= kMaxLength);
  Require(extra == 0 || extra == 2 || extra == 3 || extra == 4 || extra == -3);

  // Only the instruction's own bytes are there to read.
  const uint8_t* at = Place(roomy, length);
  uintptr_t guarded_target = 1;
  int32_t guarded_extra = 1;
  Require(hooking::CopyInstruction(nullptr, nullptr, at, &guarded_target, &guarded_extra) ==
          at + length);
  const bool absolute = guarded_target == target;  // read from memory (FF 15, FF 25)
  Require(absolute || Relative(guarded_target, at) == Relative(target, roomy));

  // The copy: exactly the instruction, widened by 3 or 4 for a short jump.
  uint8_t destination[kRoom];
  std::memset(destination, kCanary, sizeof destination);
  uintptr_t copy_target = 1;
  int32_t copy_extra = 1;
  Require(hooking::CopyInstruction(destination, destination + kRoom, at, &copy_target,
                                   &copy_extra) == at + length);
  Require(absolute || Relative(copy_target, at) == Relative(target, roomy));
  const bool widened = copy_extra == 3 || copy_extra == 4;
  const size_t written = length + (widened ? static_cast<size_t>(copy_extra) : 0);
  for (size_t i = written; i < kRoom; ++i) Require(destination[i] == kCanary);
  Require(hooking::CopyInstruction(nullptr, nullptr, destination, nullptr, nullptr) ==
          destination + written);
  if (widened) {
    // A short jump became E9 or 0F 8x with a 32-bit displacement at its end.
    Require(copy_target != hooking::NoBranchTarget && copy_target != hooking::UnknownBranchTarget);
    int32_t displacement;
    std::memcpy(&displacement, destination + written - 4, 4);
    const uint8_t opcode = destination[written - 5];
    Require(opcode == 0xE9 || (opcode >= 0x80 && opcode <= 0x8F));
    Require(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(destination) + written +
                                  displacement) == static_cast<uint32_t>(copy_target));
  } else if (copy_target == hooking::NoBranchTarget ||
             copy_target == hooking::UnknownBranchTarget || absolute) {
    Require(std::memcmp(destination, at, length) == 0);
  } else if (length > 4) {
    // A re-based displacement is the instruction's last bytes (1, 2 or 4).
    Require(std::memcmp(destination, at, length - 4) == 0);
  }
  return 0;
}
