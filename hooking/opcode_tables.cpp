#include "hooking/opcode_tables.h"

#include <initializer_list>

namespace hooking {
namespace {

using Table = std::array<OpcodeEntry, 256>;

struct Range {
  unsigned first;
  unsigned last;
};

constexpr void Set(Table& table, std::initializer_list<Range> ranges, OpcodeEntry entry) {
  for (const Range& range : ranges) {
    for (unsigned op = range.first; op <= range.last; ++op) table[op] = entry;
  }
}

constexpr OpcodeEntry Handler(CopyHandler handler) { return {0, handler}; }

// Rows follow the opcode map one group of equal rows at a time.
constexpr Table MakeOneByteTable() {
  Table t{};
  Set(t,
      {{0x00, 0x03},
       {0x08, 0x0B},
       {0x10, 0x13},
       {0x18, 0x1B},
       {0x20, 0x23},
       {0x28, 0x2B},
       {0x30, 0x33},
       {0x38, 0x3B}},
      PlainEntry(2, 2, 1));
  Set(t,
      {{0x04, 0x04},
       {0x0C, 0x0C},
       {0x14, 0x14},
       {0x1C, 0x1C},
       {0x24, 0x24},
       {0x2C, 0x2C},
       {0x34, 0x34},
       {0x3C, 0x3C}},
      PlainEntry(2, 2));
  Set(t,
      {{0x05, 0x05},
       {0x0D, 0x0D},
       {0x15, 0x15},
       {0x1D, 0x1D},
       {0x25, 0x25},
       {0x2D, 0x2D},
       {0x35, 0x35},
       {0x3D, 0x3D}},
      PlainEntry(5, 3));
  Set(t,
      {{0x06, 0x07},
       {0x0E, 0x0E},
       {0x16, 0x17},
       {0x1E, 0x1F},
       {0x27, 0x27},
       {0x2F, 0x2F},
       {0x37, 0x37},
       {0x3F, 0x61}},
      PlainEntry(1, 1));
  Set(t, {{0x0F, 0x0F}}, Handler(CopyHandler::kEscape));
  Set(t, {{0x26, 0x26}, {0x2E, 0x2E}, {0x36, 0x36}, {0x3E, 0x3E}, {0x64, 0x65}},
      Handler(CopyHandler::kSegment));
  Set(t, {{0x62, 0x62}}, Handler(CopyHandler::kEvex));
  Set(t, {{0x63, 0x63}}, PlainEntry(2, 2, 1));
  Set(t, {{0x66, 0x66}}, Handler(CopyHandler::kOperandSize));
  Set(t, {{0x67, 0x67}}, Handler(CopyHandler::kAddressSize));
  Set(t, {{0x68, 0x68}}, PlainEntry(5, 3));
  Set(t, {{0x69, 0x69}}, PlainEntry(6, 4, 1));
  Set(t, {{0x6A, 0x6A}}, PlainEntry(2, 2));
  Set(t, {{0x6B, 0x6B}}, PlainEntry(3, 3, 1));
  Set(t, {{0x6C, 0x6F}}, PlainEntry(1, 1));
  Set(t, {{0x70, 0x7F}, {0xEB, 0xEB}}, Handler(CopyHandler::kShortJump));
  Set(t, {{0x80, 0x80}, {0x82, 0x83}}, PlainEntry(3, 3, 1));
  Set(t, {{0x81, 0x81}}, PlainEntry(6, 4, 1));
  Set(t, {{0x84, 0x8C}, {0x8E, 0x8E}}, PlainEntry(2, 2, 1));
  Set(t, {{0x8D, 0x8D}}, Handler(CopyHandler::kMemoryOnly));  // LEA
  Set(t, {{0x8F, 0x8F}}, Handler(CopyHandler::kXop));
  Set(t, {{0x90, 0x99}, {0x9B, 0x9F}, {0xA4, 0xA7}, {0xAA, 0xAF}}, PlainEntry(1, 1));
  Set(t, {{0x9A, 0x9A}, {0xEA, 0xEA}}, PlainEntry(7, 5, 0, 0, kDynamic));
  Set(t, {{0xA0, 0xA3}}, PlainEntry(5, 3, 0, 0, kAddressSized));
  Set(t, {{0xA8, 0xA8}, {0xB0, 0xB7}}, PlainEntry(2, 2));
  Set(t, {{0xA9, 0xA9}, {0xB8, 0xBF}}, PlainEntry(5, 3));
  Set(t, {{0xC0, 0xC1}}, PlainEntry(3, 3, 1));
  Set(t, {{0xC6, 0xC6}}, Handler(CopyHandler::kGroupC6));
  Set(t, {{0xC2, 0xC2}}, PlainEntry(3, 3));
  Set(t, {{0xC3, 0xC3}, {0xC9, 0xC9}, {0xD7, 0xD7}, {0xEC, 0xEF}, {0xF4, 0xF5}, {0xF8, 0xFD}},
      PlainEntry(1, 1));
  Set(t, {{0xC4, 0xC4}}, Handler(CopyHandler::kVex3));
  Set(t, {{0xC5, 0xC5}}, Handler(CopyHandler::kVex2));
  Set(t, {{0xC7, 0xC7}}, Handler(CopyHandler::kGroupC7));
  Set(t, {{0xC8, 0xC8}}, PlainEntry(4, 4));
  Set(t, {{0xCA, 0xCA}}, PlainEntry(3, 3, 0, 0, kDynamic));
  Set(t, {{0xCB, 0xCC}, {0xCE, 0xCF}, {0xF1, 0xF1}}, PlainEntry(1, 1, 0, 0, kDynamic));
  Set(t, {{0xCD, 0xCD}}, PlainEntry(2, 2, 0, 0, kDynamic));
  Set(t, {{0xD0, 0xD3}, {0xD8, 0xDF}}, PlainEntry(2, 2, 1));
  Set(t, {{0xFE, 0xFE}}, Handler(CopyHandler::kGroupFE));
  Set(t, {{0xD4, 0xD5}, {0xE4, 0xE7}}, PlainEntry(2, 2));
  Set(t, {{0xD6, 0xD6}}, kInvalidEntry);
  Set(t, {{0xE0, 0xE3}}, PlainEntry(2, 2, 0, 1, kNoWiden));
  Set(t, {{0xE8, 0xE9}}, PlainEntry(5, 3, 0, 1));
  Set(t, {{0xF0, 0xF0}}, Handler(CopyHandler::kPrefix));
  Set(t, {{0xF2, 0xF2}}, Handler(CopyHandler::kF2));
  Set(t, {{0xF3, 0xF3}}, Handler(CopyHandler::kF3));
  Set(t, {{0xF6, 0xF6}}, Handler(CopyHandler::kGroupF6));
  Set(t, {{0xF7, 0xF7}}, Handler(CopyHandler::kGroupF7));
  Set(t, {{0xFF, 0xFF}}, Handler(CopyHandler::kGroupFF));
  return t;
}

constexpr Table MakeTwoByteTable() {
  Table t{};
  Set(t, {{0x00, 0x00}}, Handler(CopyHandler::kGroup0F00));
  Set(t,
      {{0x01, 0x03},
       {0x0D, 0x0D},
       {0x10, 0x1F},
       {0x28, 0x2F},
       {0x40, 0x6F},
       {0x74, 0x76},
       {0x79, 0x79},
       {0x7C, 0x7F},
       {0x90, 0x9F},
       {0xA3, 0xA3},
       {0xA5, 0xA7},
       {0xAB, 0xAB},
       {0xAD, 0xB7},
       {0xBB, 0xC1},
       {0xC3, 0xC3},
       {0xC7, 0xC7},
       {0xD0, 0xFE}},
      PlainEntry(2, 2, 1));
  Set(t,
      {{0x05, 0x09},
       {0x0B, 0x0B},
       {0x0E, 0x0E},
       {0x30, 0x35},
       {0x37, 0x37},
       {0x77, 0x77},
       {0xA0, 0xA2},
       {0xA8, 0xAA},
       {0xC8, 0xCF}},
      PlainEntry(1, 1));
  Set(t, {{0x0F, 0x0F}, {0x70, 0x73}, {0xA4, 0xA4}, {0xAC, 0xAC}, {0xC2, 0xC2}, {0xC4, 0xC6}},
      PlainEntry(3, 3, 1));
  // Moves to and from control and debug registers always name a register:
  // the ModR/M byte counts as one, whatever its mod field says.
  Set(t, {{0x20, 0x23}}, PlainEntry(2, 2));
  // UD1 and UD0 take a ModR/M byte, like the instructions they stand for.
  Set(t, {{0xB9, 0xB9}, {0xFF, 0xFF}}, PlainEntry(2, 2, 1));
  Set(t, {{0x38, 0x38}}, PlainEntry(3, 3, 2));
  Set(t, {{0x3A, 0x3A}}, PlainEntry(4, 4, 2));
  Set(t, {{0x78, 0x78}}, Handler(CopyHandler::k0F78));
  Set(t, {{0xBA, 0xBA}}, Handler(CopyHandler::kGroup0FBA));
  Set(t, {{0x80, 0x8F}}, PlainEntry(5, 3, 0, 1));
  Set(t, {{0xB8, 0xB8}}, Handler(CopyHandler::k0FB8));
  Set(t,
      {{0x04, 0x04},
       {0x0A, 0x0A},
       {0x0C, 0x0C},
       {0x24, 0x27},
       {0x36, 0x36},
       {0x39, 0x39},
       {0x3B, 0x3F},
       {0x7A, 0x7B}},
      kInvalidEntry);
  return t;
}

constexpr std::array<uint8_t, 256> MakeModRmTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned modrm = 0; modrm < 256; ++modrm) {
    const unsigned mod = modrm >> 6;
    const unsigned rm = modrm & 7;
    uint8_t value = 0;
    if (mod == 0) {
      value = rm == 4 ? 0x11 : rm == 5 ? 0x24 : 0;
    } else if (mod == 1) {
      value = rm == 4 ? 2 : 1;
    } else if (mod == 2) {
      value = rm == 4 ? 5 : 4;
    }
    t[modrm] = value;
  }
  return t;
}

// Every opcode must have been given a row: an unset row would read as a
// zero-length plain copy.
constexpr bool EveryRowSet(const Table& table) {
  for (const OpcodeEntry& entry : table) {
    if (entry.handler == CopyHandler::kPlain && entry.FixedSize() == 0) return false;
  }
  return true;
}

constexpr Table kOneByte = MakeOneByteTable();
constexpr Table kTwoByte = MakeTwoByteTable();
static_assert(EveryRowSet(kOneByte));
static_assert(EveryRowSet(kTwoByte));

}  // namespace

constinit const std::array<OpcodeEntry, 256> OneByteTable = kOneByte;
constinit const std::array<OpcodeEntry, 256> TwoByteTable = kTwoByte;
constinit const std::array<uint8_t, 256> ModRmTable = MakeModRmTable();

}  // namespace hooking
