#include "hooking/instruction_copier.h"

#include <cstring>

#include "hooking/opcode_tables.h"
#include "platform/platform.h"
#include "platform/readable_memory.h"

namespace hooking {
namespace {

constexpr size_t kScratchSize = 64;

// The state of one copy: the prefixes seen so far and where results go.
class InstructionCopier {
 public:
  InstructionCopier(uint8_t* destination, uintptr_t* target, int32_t* extra)
      : target_(target != nullptr ? target : &own_target_),
        extra_(extra != nullptr ? extra : &own_extra_) {
    *target_ = NoBranchTarget;
    *extra_ = 0;
    if (destination == nullptr) {
      destination_ = scratch_;
      scratch_end_ = scratch_ + kScratchSize;
    } else {
      destination_ = destination;
    }
  }

  const uint8_t* Copy(const uint8_t* source) {
    uint8_t* dest = destination_;
    const OpcodeEntry* entry = &OneByteTable[source[0]];
    // Prefixes and escapes copy one byte and look the next one up again, so
    // a chain of prefixes of any length ends in one real row.
    for (;;) {
      switch (entry->handler) {
        case CopyHandler::kPlain:
          return CopyPlain(*entry, dest, source);
        case CopyHandler::kSegment:
          segment_ = source[0];
          break;
        case CopyHandler::kOperandSize:
          operand_size_ = true;
          break;
        case CopyHandler::kAddressSize:
          address_size_ = true;
          break;
        case CopyHandler::kF2:
          f2_ = true;
          break;
        case CopyHandler::kF3:
          f3_ = true;
          break;
        case CopyHandler::kPrefix:
          break;
        case CopyHandler::kEscape:
          Put(dest, source, 1);
          ++dest;
          ++source;
          entry = &TwoByteTable[source[0]];
          continue;
        case CopyHandler::kShortJump:
          return CopyShortJump(dest, source);
        case CopyHandler::kInvalid:
          return source + 1;
        case CopyHandler::kGroupF6:
          return CopyPlain(Reg(source[1]) == 0 ? kModRm3 : kModRm2, dest, source);
        case CopyHandler::kGroupF7:
          return CopyPlain(Reg(source[1]) == 0 ? kTestF7 : kModRm2, dest, source);
        case CopyHandler::kGroupFF:
          return CopyGroupFF(dest, source);
        case CopyHandler::kGroup0F00:
          return CopyPlain(Reg(source[1]) == 6 ? kModRm2Dynamic : kModRm2, dest, source);
        case CopyHandler::k0F78:
          return CopyPlain(f2_ || operand_size_ ? kExtrqImmediate : kModRm2, dest, source);
        case CopyHandler::k0FB8:
          return CopyPlain(f3_ ? kModRm2 : kJmpe, dest, source);
        case CopyHandler::kVex2:
          if ((source[1] & 0xC0) != 0xC0) return CopyPlain(kModRm2, dest, source);  // LDS
          Put(dest, source, 2);
          vex_ = true;
          entry = VexRow(1, source[1] & 3, source[2]);
          dest += 2;
          source += 2;
          continue;
        case CopyHandler::kVex3:
          if ((source[1] & 0xC0) != 0xC0) return CopyPlain(kModRm2, dest, source);  // LES
          Put(dest, source, 3);
          vex_ = true;
          entry = VexRow(source[1] & 0x1F, source[2] & 3, source[3]);
          dest += 3;
          source += 3;
          continue;
        case CopyHandler::kEvex: {
          if ((source[1] & 0xC0) != 0xC0) return CopyPlain(kModRm2, dest, source);  // BOUND
          if ((source[1] & 0x08) != 0 || (source[2] & 0x04) == 0) return source + 1;
          Put(dest, source, 4);
          evex_ = true;
          const unsigned map = (source[1] & 3) | (source[1] & 4);
          entry = VexRow(map, source[2] & 3, source[4]);
          dest += 4;
          source += 4;
          continue;
        }
        case CopyHandler::kXop: {
          const unsigned map = source[1] & 0x1F;
          if (map == 8) return CopyPlain(kXop8, dest, source);
          if (map == 9) return CopyPlain(kXop9, dest, source);
          if (map == 10) return CopyPlain(kXopA, dest, source);
          return CopyPlain(kModRm2, dest, source);  // POP r/m
        }
      }
      // A prefix: copy it and look at the next byte.
      Put(dest, source, 1);
      ++dest;
      ++source;
      entry = &OneByteTable[source[0]];
    }
  }

 private:
  static unsigned Reg(uint8_t modrm) { return (modrm >> 3) & 7; }

  // Chooses the row of the opcode byte that follows a VEX or EVEX prefix.
  const OpcodeEntry* VexRow(unsigned map, unsigned pp, uint8_t opcode) {
    if (pp == 1) operand_size_ = true;
    if (pp == 2) f3_ = true;
    if (pp == 3) f2_ = true;
    switch (map) {
      case 1:
        return &TwoByteTable[opcode];
      case 2:
      case 5:
      case 6:
        return &kModRm2;
      case 3:
        return &kModRm3;
      default:
        return &kInvalidEntry;
    }
  }

  // Writes n source bytes at dest; in measuring mode bytes past the scratch
  // area are dropped, so no prefix chain can overrun it.
  void Put(uint8_t* dest, const uint8_t* source, size_t n) {
    for (size_t i = 0; i < n; ++i) PutByte(dest + i, source[i]);
  }
  void PutByte(uint8_t* at, uint8_t value) {
    if (scratch_end_ == nullptr || at < scratch_end_) *at = value;
  }
  void PutWord(uint8_t* at, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) PutByte(at + i, static_cast<uint8_t>(value >> (8 * i)));
  }

  const uint8_t* CopyPlain(const OpcodeEntry& entry, uint8_t* dest, const uint8_t* source) {
    const bool override_seen = entry.IsAddressSized() ? address_size_ : operand_size_;
    unsigned size = override_seen ? entry.FixedSize16() : entry.FixedSize();
    const unsigned rel = entry.RelativeOffset();
    unsigned width = size - rel;
    if (entry.ModRmOffset() != 0) {
      const uint8_t form = ModRmTable[source[entry.ModRmOffset()]];
      size += form & 0x0F;
      if ((form & 0x10) != 0 && (source[entry.ModRmOffset() + 1] & 7) == 5) {
        size += 4;
        width = size - rel;
      }
    }
    Put(dest, source, size);
    if (rel != 0) Rebase(dest, source, size, rel, width);
    if (entry.IsNoWiden()) *extra_ = -*extra_;
    if (entry.IsDynamic()) *target_ = UnknownBranchTarget;
    return source + size;
  }

  void Rebase(uint8_t* dest, const uint8_t* source, unsigned size, unsigned rel, unsigned width) {
    int32_t old = 0;
    if (width == 1) {
      old = static_cast<int8_t>(source[rel]);
    } else if (width == 2) {
      int16_t v;
      std::memcpy(&v, source + rel, 2);
      old = v;
    } else {
      std::memcpy(&old, source + rel, 4);
    }
    const uintptr_t target = reinterpret_cast<uintptr_t>(source) + size + old;
    const int32_t shift = static_cast<int32_t>(reinterpret_cast<uintptr_t>(dest) -
                                               reinterpret_cast<uintptr_t>(source));
    const int32_t rebased =
        static_cast<int32_t>(static_cast<uint32_t>(old) - static_cast<uint32_t>(shift));
    PutWord(dest + rel, static_cast<uint32_t>(rebased), width);
    if (width == 1 && (rebased < -128 || rebased > 127)) *extra_ = 3;
    if (width == 2 && (rebased < -32768 || rebased > 32767)) *extra_ = 2;
    *target_ = target;
  }

  const uint8_t* CopyShortJump(uint8_t* dest, const uint8_t* source) {
    const int32_t d8 = static_cast<int8_t>(source[1]);
    const uint32_t shift = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dest) -
                                                 reinterpret_cast<uintptr_t>(source));
    *target_ = reinterpret_cast<uintptr_t>(source) + 2 + d8;
    if (source[0] == 0xEB) {
      PutByte(dest, 0xE9);
      PutWord(dest + 1, static_cast<uint32_t>(d8) - shift - 3, 4);
      *extra_ = 3;
    } else {
      PutByte(dest, 0x0F);
      PutByte(dest + 1, static_cast<uint8_t>(0x80 | (source[0] & 0x0F)));
      PutWord(dest + 2, static_cast<uint32_t>(d8) - shift - 4, 4);
      *extra_ = 4;
    }
    return source + 2;
  }

  const uint8_t* CopyGroupFF(uint8_t* dest, const uint8_t* source) {
    const uint8_t* next = CopyPlain(kModRm2, dest, source);
    const uint8_t modrm = source[1];
    if (modrm == 0x15 || modrm == 0x25) {
      if (segment_ == 0 || segment_ == 0x2E) {
        uint32_t address;
        std::memcpy(&address, source + 2, 4);
        *target_ = ReadPointer(address);
      } else {
        *target_ = UnknownBranchTarget;
      }
    } else if (Reg(modrm) >= 2 && Reg(modrm) <= 5) {
      *target_ = UnknownBranchTarget;
    }
    return next;
  }

  // Reads the pointer an indirect branch goes through; a pointer that is
  // not readable memory gives an unknown target instead of a fault.
  static uintptr_t ReadPointer(uintptr_t address) {
    if (!IsReadableMemory(reinterpret_cast<const void*>(address), sizeof(uintptr_t))) {
      return UnknownBranchTarget;
    }
    uintptr_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
  }

  bool operand_size_ = false;
  bool address_size_ = false;
  bool vex_ = false;
  bool evex_ = false;
  bool f2_ = false;
  bool f3_ = false;
  uint8_t segment_ = 0;
  uintptr_t own_target_ = NoBranchTarget;
  int32_t own_extra_ = 0;
  uintptr_t* target_;
  int32_t* extra_;
  uint8_t* destination_ = nullptr;
  uint8_t* scratch_end_ = nullptr;
  uint8_t scratch_[kScratchSize];
};

}  // namespace

const uint8_t* CopyInstruction(uint8_t* destination, uint8_t* /*pool_limit*/, const uint8_t* source,
                               uintptr_t* out_target, int32_t* out_extra) {
  if (out_target != nullptr) *out_target = NoBranchTarget;
  if (out_extra != nullptr) *out_extra = 0;
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  InstructionCopier copier(destination, out_target, out_extra);
  return copier.Copy(source);
}

}  // namespace hooking
