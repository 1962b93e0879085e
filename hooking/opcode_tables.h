// Constant opcode tables of the x86 instruction copier.
//
// Each row says how long an instruction is (counted from its opcode byte),
// where its ModR/M byte and relative displacement sit, and which copy action
// handles it. The tables are immutable data shared by every copy; nothing
// here owns memory.

#ifndef HOOKING_OPCODE_TABLES_H_
#define HOOKING_OPCODE_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace hooking {

// The copy action of an opcode row.
enum class CopyHandler : uint8_t {
  kPlain,
  kPrefix,
  kSegment,
  kOperandSize,
  kAddressSize,
  kF2,
  kF3,
  kEscape,
  kShortJump,
  kInvalid,
  kGroupF6,
  kGroupF7,
  kGroupFF,
  kGroupFE,
  kGroupC6,
  kGroupC7,
  kGroup0FBA,
  kMemoryOnly,
  kGroup0F00,
  k0F78,
  k0FB8,
  kVex2,
  kVex3,
  kEvex,
  kXop,
};

// No x86 instruction is longer; longer byte runs are refused.
inline constexpr size_t kMaxInstructionLength = 15;

// Flags of the packed word.
inline constexpr uint32_t kDynamic = 1u << 16;
inline constexpr uint32_t kAddressSized = 1u << 17;
inline constexpr uint32_t kNoWiden = 1u << 18;

struct OpcodeEntry {
  uint32_t packed;
  CopyHandler handler;

  constexpr unsigned FixedSize() const { return packed & 0xF; }
  constexpr unsigned FixedSize16() const { return (packed >> 4) & 0xF; }
  constexpr unsigned ModRmOffset() const { return (packed >> 8) & 0xF; }
  constexpr unsigned RelativeOffset() const { return (packed >> 12) & 0xF; }
  constexpr bool IsDynamic() const { return (packed & kDynamic) != 0; }
  constexpr bool IsAddressSized() const { return (packed & kAddressSized) != 0; }
  constexpr bool IsNoWiden() const { return (packed & kNoWiden) != 0; }
};

// A packed word: fixed size, fixed size under the size override, ModR/M
// offset, relative offset and flags.
constexpr uint32_t PackEntry(unsigned size, unsigned size16, unsigned modrm, unsigned rel,
                             uint32_t flags = 0) {
  return size | (size16 << 4) | (modrm << 8) | (rel << 12) | flags;
}

constexpr OpcodeEntry PlainEntry(unsigned size, unsigned size16, unsigned modrm = 0,
                                 unsigned rel = 0, uint32_t flags = 0) {
  return {PackEntry(size, size16, modrm, rel, flags), CopyHandler::kPlain};
}

// Rows indexed by the first opcode byte.
extern const std::array<OpcodeEntry, 256> OneByteTable;
// Rows indexed by the byte after 0F; sizes count from that byte.
extern const std::array<OpcodeEntry, 256> TwoByteTable;
// Bytes that follow a ModR/M byte (low nibble); 0x10: a SIB byte follows
// whose base must be inspected.
extern const std::array<uint8_t, 256> ModRmTable;

// Single rows used by the handlers that choose between forms.
inline constexpr OpcodeEntry kModRm2 = PlainEntry(2, 2, 1);  // "2 with ModR/M at 1"
inline constexpr OpcodeEntry kModRm2Dynamic = PlainEntry(2, 2, 1, 0, kDynamic);
inline constexpr OpcodeEntry kModRm3 = PlainEntry(3, 3, 1);             // ModR/M and imm8
inline constexpr OpcodeEntry kTestF7 = PlainEntry(6, 4, 1);             // TEST r/m, imm16/32
inline constexpr OpcodeEntry kExtrqImmediate = PlainEntry(4, 4);        // 0F 78 with F2 or 66
inline constexpr OpcodeEntry kJmpe = PlainEntry(5, 3, 0, 0, kDynamic);  // 0F B8 without F3
inline constexpr OpcodeEntry kXop8 = PlainEntry(6, 6, 4);
inline constexpr OpcodeEntry kXop9 = PlainEntry(5, 5, 4);
inline constexpr OpcodeEntry kXopA = PlainEntry(9, 9, 4);
inline constexpr OpcodeEntry kXbegin = PlainEntry(6, 4, 0, 2);  // C7 F8 rel32
inline constexpr OpcodeEntry kOneByteEntry = PlainEntry(1, 1);  // VZEROUPPER, VZEROALL
inline constexpr OpcodeEntry kInvalidEntry = {0, CopyHandler::kInvalid};

}  // namespace hooking

#endif  // HOOKING_OPCODE_TABLES_H_
