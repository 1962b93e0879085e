#include "hooking/instruction_copier.h"

#include <cstring>

#include "hooking/opcode_tables.h"
#include "platform/platform.h"
#include "platform/readable_memory.h"

namespace hooking {
namespace {

// Win32 codes of the copier's failures; spelled out here because the native
// build's platform seam does not carry them.
constexpr DWORD kErrorInvalidData = 13;   // ERROR_INVALID_DATA
constexpr DWORD kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED

// Room for the longest copy: a 15-byte instruction widened by 4.
constexpr size_t kScratchSize = 32;

// The state of one copy: the prefixes seen so far and where results go.
//
// Every byte is read through Fetch, which refuses a byte at offset 15 or
// beyond from the instruction's start: no valid instruction is longer, so a
// refused chain never makes the copier read past that limit. A valid
// instruction's bytes are read in order and nothing after its last byte is
// read. The copy is assembled in the scratch area, at the offsets it will
// have at the destination, and written out only when the instruction is
// accepted.
class InstructionCopier {
 public:
  InstructionCopier(uint8_t* destination, uintptr_t* target, int32_t* extra)
      : destination_(destination),
        target_(target != nullptr ? target : &own_target_),
        extra_(extra != nullptr ? extra : &own_extra_) {}

  const uint8_t* Copy(const uint8_t* source) {
    start_ = source;
    const uint8_t* next = Decode(source);
    // A widened short jump is 3 or 4 bytes longer than its source; behind a
    // long prefix chain that passes the longest instruction the processor
    // runs, and no shorter form keeps the jump.
    if (next != nullptr && written_ > kMaxInstructionLength) {
      Refuse(kErrorNotSupported);
      next = nullptr;
    }
    if (next == nullptr) {
      *target_ = NoBranchTarget;
      *extra_ = 0;
      SetLastError(error_);
      return nullptr;
    }
    if (destination_ != nullptr) std::memcpy(destination_, scratch_, written_);
    return next;
  }

 private:
  static unsigned Reg(uint8_t modrm) { return (modrm >> 3) & 7; }

  // Reads source[offset] into *value; false (and the copy refused) when the
  // byte lies beyond the longest possible instruction.
  bool Fetch(const uint8_t* source, unsigned offset, uint8_t* value) {
    if (static_cast<size_t>(source + offset - start_) >= kMaxInstructionLength) {
      return Refuse(kErrorInvalidData);
    }
    *value = source[offset];
    return true;
  }

  bool Refuse(DWORD error) {
    error_ = error;
    return false;
  }

  // Address in the real destination that corresponds to `source`.
  uintptr_t DestinationOf(const uint8_t* source) const {
    return reinterpret_cast<uintptr_t>(destination_ != nullptr ? destination_ : scratch_) +
           static_cast<uintptr_t>(source - start_);
  }

  const uint8_t* Decode(const uint8_t* source) {
    uint8_t byte = 0;
    if (!Fetch(source, 0, &byte)) return nullptr;
    const OpcodeEntry* entry = &OneByteTable[byte];
    // Prefixes and escapes copy one byte and look the next one up again, so
    // a chain of prefixes ends in one real row (or at the length limit).
    for (;;) {
      switch (entry->handler) {
        case CopyHandler::kPlain:
          return CopyPlain(*entry, source);
        case CopyHandler::kSegment:
          segment_ = byte;
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
          lock_seen_ = true;
          break;
        case CopyHandler::kEscape:
          Put(source, 1);
          ++source;
          if (!Fetch(source, 0, &byte)) return nullptr;
          entry = &TwoByteTable[byte];
          continue;
        case CopyHandler::kShortJump:
          return CopyShortJump(source);
        case CopyHandler::kInvalid:
          Refuse(kErrorInvalidData);
          return nullptr;
        case CopyHandler::kGroupF6:
        case CopyHandler::kGroupF7: {
          uint8_t modrm = 0;
          if (!Fetch(source, 1, &modrm)) return nullptr;
          // /0 and /1 are both TEST with an immediate.
          const bool test = Reg(modrm) <= 1;
          if (entry->handler == CopyHandler::kGroupF6) {
            return CopyPlain(test ? kModRm3 : kModRm2, source);
          }
          return CopyPlain(test ? kTestF7 : kModRm2, source);
        }
        case CopyHandler::kGroupC6:
        case CopyHandler::kGroupC7: {
          uint8_t modrm = 0;
          if (!Fetch(source, 1, &modrm)) return nullptr;
          const bool c7 = entry->handler == CopyHandler::kGroupC7;
          if (modrm == 0xF8) return CopyPlain(c7 ? kXbegin : kModRm3, source);  // XBEGIN, XABORT
          if (Reg(modrm) != 0) return RefuseInvalid();
          return CopyPlain(c7 ? kTestF7 : kModRm3, source);  // MOV r/m, imm
        }
        case CopyHandler::kGroupFE:
        case CopyHandler::kGroupFF:
          return CopyGroupFF(*entry, source);
        case CopyHandler::kGroup0F00: {
          uint8_t modrm = 0;
          if (!Fetch(source, 1, &modrm)) return nullptr;
          if (Reg(modrm) == 7) return RefuseInvalid();
          return CopyPlain(Reg(modrm) == 6 ? kModRm2Dynamic : kModRm2, source);
        }
        case CopyHandler::kGroup0FBA: {
          // Only BT, BTS, BTR and BTC (/4 to /7) take an immediate bit number.
          uint8_t modrm = 0;
          if (!Fetch(source, 1, &modrm)) return nullptr;
          if (Reg(modrm) < 4) return RefuseInvalid();
          return CopyPlain(kModRm3, source);
        }
        case CopyHandler::kMemoryOnly: {
          uint8_t modrm = 0;
          if (!Fetch(source, 1, &modrm)) return nullptr;
          if ((modrm >> 6) == 3) return RefuseInvalid();
          return CopyPlain(kModRm2, source);
        }
        case CopyHandler::k0F78:
          return CopyPlain(f2_ || operand_size_ ? kExtrqImmediate : kModRm2, source);
        case CopyHandler::k0FB8:
          return CopyPlain(f3_ ? kModRm2 : kJmpe, source);
        case CopyHandler::kVex2: {
          uint8_t b1 = 0;
          if (!Fetch(source, 1, &b1)) return nullptr;
          if ((b1 & 0xC0) != 0xC0) return CopyPlain(kModRm2, source);  // LDS
          if (!VexAllowed()) return RefuseInvalid();
          Put(source, 2);
          vex_ = true;
          source += 2;
          if (!Fetch(source, 0, &byte)) return nullptr;
          entry = VexRow(1, b1 & 3, byte);
          continue;
        }
        case CopyHandler::kVex3: {
          uint8_t b1 = 0, b2 = 0;
          if (!Fetch(source, 1, &b1)) return nullptr;
          if ((b1 & 0xC0) != 0xC0) return CopyPlain(kModRm2, source);  // LES
          if (!VexAllowed()) return RefuseInvalid();
          if (!Fetch(source, 2, &b2)) return nullptr;
          Put(source, 3);
          vex_ = true;
          source += 3;
          if (!Fetch(source, 0, &byte)) return nullptr;
          entry = VexRow(b1 & 0x1F, b2 & 3, byte);
          continue;
        }
        case CopyHandler::kEvex: {
          uint8_t b1 = 0, b2 = 0, b3 = 0;
          if (!Fetch(source, 1, &b1)) return nullptr;
          if ((b1 & 0xC0) != 0xC0) return CopyPlain(kModRm2, source);  // BOUND
          if (!VexAllowed()) return RefuseInvalid();
          // A reserved bit set, or the fixed bit clear: no instruction.
          if ((b1 & 0x08) != 0) return RefuseInvalid();
          if (!Fetch(source, 2, &b2)) return nullptr;
          if ((b2 & 0x04) == 0) return RefuseInvalid();
          if (!Fetch(source, 3, &b3)) return nullptr;
          Put(source, 4);
          evex_ = true;
          source += 4;
          if (!Fetch(source, 0, &byte)) return nullptr;
          entry = VexRow(b1 & 7, b2 & 3, byte);
          continue;
        }
        case CopyHandler::kXop: {
          uint8_t b1 = 0;
          if (!Fetch(source, 1, &b1)) return nullptr;
          const unsigned map = b1 & 0x1F;
          if (map == 8) return CopyPlain(kXop8, source);
          if (map == 9) return CopyPlain(kXop9, source);
          if (map == 10) return CopyPlain(kXopA, source);
          if (map >= 8 || Reg(b1) != 0) return RefuseInvalid();
          return CopyPlain(kModRm2, source);  // POP r/m
        }
      }
      // A prefix: copy it and look at the next byte.
      Put(source, 1);
      ++source;
      if (!Fetch(source, 0, &byte)) return nullptr;
      entry = &OneByteTable[byte];
    }
  }

  const uint8_t* RefuseInvalid() {
    Refuse(kErrorInvalidData);
    return nullptr;
  }

  // VEX and EVEX cannot follow the lock, repeat or operand-size prefixes.
  bool VexAllowed() const { return !operand_size_ && !f2_ && !f3_ && !lock_seen_; }

  // Chooses the row of the opcode byte that follows a VEX or EVEX prefix.
  const OpcodeEntry* VexRow(unsigned map, unsigned pp, uint8_t opcode) {
    if (pp == 1) operand_size_ = true;
    if (pp == 2) f3_ = true;
    if (pp == 3) f2_ = true;
    switch (map) {
      case 1: {
        // Only register and memory forms exist in the VEX maps; branches and
        // the forms without a ModR/M byte do not (bar VZEROUPPER/VZEROALL).
        if (opcode == 0x77 && !evex_) return &kOneByteEntry;
        const OpcodeEntry& row = TwoByteTable[opcode];
        if (row.handler != CopyHandler::kPlain || row.ModRmOffset() != 1 ||
            row.RelativeOffset() != 0 || row.IsDynamic()) {
          return &kInvalidEntry;
        }
        return &row;
      }
      case 2:
        return &kModRm2;
      case 5:
      case 6:
        return evex_ ? &kModRm2 : &kInvalidEntry;
      case 3:
        return &kModRm3;
      default:
        return &kInvalidEntry;
    }
  }

  // Places n source bytes into the copy at the offsets they will have.
  void Put(const uint8_t* source, size_t n) {
    for (size_t i = 0; i < n; ++i) PutByte(source + i - start_, source[i]);
  }
  void PutByte(ptrdiff_t at, uint8_t value) {
    scratch_[at] = value;
    if (static_cast<size_t>(at) + 1 > written_) written_ = static_cast<size_t>(at) + 1;
  }
  void PutWord(ptrdiff_t at, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) PutByte(at + i, static_cast<uint8_t>(value >> (8 * i)));
  }

  // Bytes that follow a ModR/M byte under 16-bit addressing (the address-size
  // prefix): displacements of 0, 1 or 2 bytes and never a SIB byte.
  static unsigned Following16(uint8_t modrm) {
    const unsigned mod = modrm >> 6;
    if (mod == 0) return (modrm & 7) == 6 ? 2 : 0;
    if (mod == 1) return 1;
    if (mod == 2) return 2;
    return 0;
  }

  const uint8_t* CopyPlain(const OpcodeEntry& entry, const uint8_t* source) {
    // LOOP and JCXZ, like the short jumps, cut their target to 16 bits under
    // the operand-size prefix.
    if (entry.IsNoWiden() && operand_size_) {
      Refuse(kErrorNotSupported);
      return nullptr;
    }
    const bool override_seen = entry.IsAddressSized() ? address_size_ : operand_size_;
    unsigned size = override_seen ? entry.FixedSize16() : entry.FixedSize();
    const unsigned rel = entry.RelativeOffset();
    if (entry.ModRmOffset() != 0) {
      uint8_t modrm = 0;
      if (!Fetch(source, entry.ModRmOffset(), &modrm)) return nullptr;
      if (address_size_) {
        size += Following16(modrm);
      } else {
        const uint8_t form = ModRmTable[modrm];
        size += form & 0x0F;
        if ((form & 0x10) != 0) {
          uint8_t sib = 0;
          if (!Fetch(source, entry.ModRmOffset() + 1, &sib)) return nullptr;
          if ((sib & 7) == 5) size += 4;
        }
      }
    }
    // The whole instruction must lie within the architectural limit; its
    // last byte is checked before any of it is copied.
    uint8_t last = 0;
    if (!Fetch(source, size - 1, &last)) return nullptr;
    Put(source, size);
    if (rel != 0) Rebase(source, size, rel, size - rel);
    if (entry.IsNoWiden()) *extra_ = -*extra_;
    if (entry.IsDynamic()) *target_ = UnknownBranchTarget;
    return source + size;
  }

  void Rebase(const uint8_t* source, unsigned size, unsigned rel, unsigned width) {
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
    const uint32_t shift =
        static_cast<uint32_t>(DestinationOf(source) - reinterpret_cast<uintptr_t>(source));
    const int32_t rebased = static_cast<int32_t>(static_cast<uint32_t>(old) - shift);
    PutWord(source + rel - start_, static_cast<uint32_t>(rebased), width);
    if (width == 1 && (rebased < -128 || rebased > 127)) *extra_ = 3;
    if (width == 2 && (rebased < -32768 || rebased > 32767)) *extra_ = 2;
    *target_ = static_cast<uint32_t>(target);
  }

  const uint8_t* CopyShortJump(const uint8_t* source) {
    // With the operand-size prefix the jump's target is cut to 16 bits; no
    // wider form keeps that, so such a jump is not moved.
    if (operand_size_) {
      Refuse(kErrorNotSupported);
      return nullptr;
    }
    uint8_t opcode = 0, d8_byte = 0;
    if (!Fetch(source, 0, &opcode) || !Fetch(source, 1, &d8_byte)) return nullptr;
    const int32_t d8 = static_cast<int8_t>(d8_byte);
    const uint32_t shift =
        static_cast<uint32_t>(DestinationOf(source) - reinterpret_cast<uintptr_t>(source));
    *target_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(source) + 2 + d8);
    const ptrdiff_t at = source - start_;
    if (opcode == 0xEB) {
      PutByte(at, 0xE9);
      PutWord(at + 1, static_cast<uint32_t>(d8) - shift - 3, 4);
      *extra_ = 3;
    } else {
      PutByte(at, 0x0F);
      PutByte(at + 1, static_cast<uint8_t>(0x80 | (opcode & 0x0F)));
      PutWord(at + 2, static_cast<uint32_t>(d8) - shift - 4, 4);
      *extra_ = 4;
    }
    return source + 2;
  }

  // FE and FF: the reg field chooses the operation; FE has only INC and DEC,
  // FF has no /7, and far calls and jumps (/3, /5) need a memory operand.
  const uint8_t* CopyGroupFF(const OpcodeEntry& entry, const uint8_t* source) {
    uint8_t modrm = 0;
    if (!Fetch(source, 1, &modrm)) return nullptr;
    const unsigned reg = Reg(modrm);
    if (entry.handler == CopyHandler::kGroupFE) {
      if (reg > 1) return RefuseInvalid();
      return CopyPlain(kModRm2, source);
    }
    if (reg == 7 || ((reg == 3 || reg == 5) && (modrm >> 6) == 3)) return RefuseInvalid();
    const uint8_t* next = CopyPlain(kModRm2, source);
    if (next == nullptr) return nullptr;
    if (!address_size_ && (modrm == 0x15 || modrm == 0x25)) {
      if (segment_ == 0 || segment_ == 0x2E) {
        uint32_t address;
        std::memcpy(&address, source + 2, 4);
        *target_ = ReadPointer(address);
      } else {
        *target_ = UnknownBranchTarget;
      }
    } else if (reg >= 2 && reg <= 5) {
      *target_ = UnknownBranchTarget;
    }
    return next;
  }

  // Reads the 32-bit code pointer an indirect branch goes through; a pointer
  // that is not readable memory gives an unknown target instead of a fault.
  // The address comes from the code itself and may lie anywhere, even where
  // a sanitizer keeps its own bookkeeping, so the read is a plain one.
  __attribute__((no_sanitize_address)) static uintptr_t ReadPointer(uintptr_t address) {
    if (!IsReadableMemory(reinterpret_cast<const void*>(address), sizeof(uint32_t))) {
      return UnknownBranchTarget;
    }
    const volatile uint8_t* p = reinterpret_cast<const volatile uint8_t*>(address);
    uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
  }

  bool operand_size_ = false;
  bool address_size_ = false;
  bool vex_ = false;
  bool evex_ = false;
  bool f2_ = false;
  bool f3_ = false;
  bool lock_seen_ = false;
  uint8_t segment_ = 0;
  DWORD error_ = kErrorInvalidData;
  const uint8_t* start_ = nullptr;
  uint8_t* destination_;
  uintptr_t own_target_ = NoBranchTarget;
  int32_t own_extra_ = 0;
  uintptr_t* target_;
  int32_t* extra_;
  size_t written_ = 0;
  uint8_t scratch_[kScratchSize] = {};
};

}  // namespace

const uint8_t* CopyInstruction(uint8_t* destination, uint8_t* /*pool_limit*/, const uint8_t* source,
                               uintptr_t* out_target, int32_t* out_extra) {
  if (out_target != nullptr) *out_target = NoBranchTarget;
  if (out_extra != nullptr) *out_extra = 0;
  if (source == nullptr) {
    SetLastError(kErrorInvalidData);
    return nullptr;
  }
  InstructionCopier copier(destination, out_target, out_extra);
  return copier.Copy(source);
}

}  // namespace hooking
