// The copier over byte sequences of every kind of opcode row: lengths,
// copied bytes, extra length and branch target.

#include "hooking/instruction_copier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

extern "C" const uint8_t InstructionSamplesBegin[];
extern "C" const uint8_t InstructionSamplesEnd[];

namespace hooking {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<uint8_t> bytes;
  std::string byte;
  while (in >> byte) bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return bytes;
}

void Append32(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

int32_t Read32(const uint8_t* p) {
  int32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

// One code buffer: instructions are placed at `source` and copied to a
// destination close by (`near`, 0x40 higher) or 1 MiB higher (`far`).
class CopierTest : public ::testing::Test {
 protected:
  static constexpr uintptr_t kNearDistance = 0x40;
  static constexpr uintptr_t kFarDistance = 0x100000;

  void SetUp() override {
    base_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 2 * kFarDistance, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base_, nullptr);
    source_ = base_ + 0x1000;
  }
  void TearDown() override { VirtualFree(base_, 0, MEM_RELEASE); }

  uint8_t* Near() { return source_ + kNearDistance; }
  uint8_t* Far() { return source_ + kFarDistance; }

  struct Copy {
    size_t length;
    int32_t extra;
    uintptr_t target;
    uint8_t* destination;
  };

  // Places `bytes` at the source (followed by 0x90) and copies them to
  // `destination`, which is first filled with 0xCC.
  Copy CopyTo(const std::vector<uint8_t>& bytes, uint8_t* destination) {
    std::memset(source_, 0x90, 64);
    std::memcpy(source_, bytes.data(), bytes.size());
    std::memset(destination, 0xCC, 64);
    uintptr_t target = 12345;
    int32_t extra = 12345;
    const uint8_t* next = CopyInstruction(destination, destination + 64, source_, &target, &extra);
    return {static_cast<size_t>(next - source_), extra, target, destination};
  }

  uint8_t* base_ = nullptr;
  uint8_t* source_ = nullptr;
};

enum class Target { kNone, kUnknown };

struct PlainCase {
  const char* bytes;
  size_t length;
  Target target;
};

// Instructions without relative displacements: copied unchanged, whatever
// the destination.
TEST_F(CopierTest, PlainInstructionsAreCopiedWhole) {
  const PlainCase cases[] = {
      // Fixed lengths, and the operand-size prefix on immediates.
      {"90", 1, Target::kNone},
      {"50", 1, Target::kNone},
      {"C3", 1, Target::kNone},
      {"04 7F", 2, Target::kNone},
      {"05 78 56 34 12", 5, Target::kNone},
      {"66 05 34 12", 4, Target::kNone},
      {"68 78 56 34 12", 5, Target::kNone},
      {"66 68 34 12", 4, Target::kNone},
      {"6A 01", 2, Target::kNone},
      {"A9 01 00 00 00", 5, Target::kNone},
      {"B8 01 00 00 00", 5, Target::kNone},
      {"66 B8 01 00", 4, Target::kNone},
      {"B0 01", 2, Target::kNone},
      {"C2 08 00", 3, Target::kNone},
      {"C8 10 00 00", 4, Target::kNone},
      {"66 C8 10 00 00", 5, Target::kNone},  // ENTER ignores the operand size
      {"D4 0A", 2, Target::kNone},
      {"E4 60", 2, Target::kNone},
      {"F4", 1, Target::kNone},
      // Moffs forms follow the address size, not the operand size.
      {"A1 00 10 00 00", 5, Target::kNone},
      {"67 A1 00 10", 4, Target::kNone},
      {"66 A1 00 10 00 00", 6, Target::kNone},
      {"64 A1 18 00 00 00", 6, Target::kNone},
      // Every ModR/M form.
      {"8B C0", 2, Target::kNone},
      {"8B 00", 2, Target::kNone},
      {"8B 05 00 10 00 00", 6, Target::kNone},
      {"8B 04 24", 3, Target::kNone},
      {"8B 04 25 00 10 00 00", 7, Target::kNone},
      {"8B 04 85 00 10 00 00", 7, Target::kNone},
      {"8B 45 08", 3, Target::kNone},
      {"8B 44 24 08", 4, Target::kNone},
      {"8B 44 85 08", 4, Target::kNone},
      {"8B 85 00 01 00 00", 6, Target::kNone},
      {"8B 84 24 00 01 00 00", 7, Target::kNone},
      {"8B 84 25 00 01 00 00", 7, Target::kNone},  // mod 10: SIB base 101 is EBP
      {"8B 44 25 08", 4, Target::kNone},           // mod 01: likewise
      // ModR/M with immediates.
      {"69 C0 10 00 00 00", 6, Target::kNone},
      {"66 69 C0 10 00", 5, Target::kNone},
      {"6B C0 05", 3, Target::kNone},
      {"80 38 05", 3, Target::kNone},
      {"81 38 01 00 00 00", 6, Target::kNone},
      {"66 81 38 01 00", 5, Target::kNone},
      {"81 BC 24 00 01 00 00 01 00 00 00", 11, Target::kNone},
      {"83 C0 01", 3, Target::kNone},
      {"C1 E0 04", 3, Target::kNone},
      {"C6 05 00 10 00 00 01", 7, Target::kNone},
      {"C7 45 08 01 00 00 00", 7, Target::kNone},
      {"66 C7 00 01 00", 5, Target::kNone},
      {"D9 45 08", 3, Target::kNone},
      {"DD 05 00 10 00 00", 6, Target::kNone},
      // Prefix chains.
      {"F3 A5", 2, Target::kNone},
      {"F0 0F B1 0A", 4, Target::kNone},
      {"F0 66 2E 3E 89 08", 6, Target::kNone},
      // Groups.
      {"F6 05 00 10 00 00 01", 7, Target::kNone},
      {"F6 1D 00 10 00 00", 6, Target::kNone},
      {"F6 C0 01", 3, Target::kNone},
      {"F7 C0 01 00 00 00", 6, Target::kNone},
      {"66 F7 C0 01 00", 5, Target::kNone},
      {"F7 D8", 2, Target::kNone},
      {"FE C0", 2, Target::kNone},
      {"FF C0", 2, Target::kNone},
      {"FF 30", 2, Target::kNone},
      {"FF 75 08", 3, Target::kNone},
      {"FF D0", 2, Target::kUnknown},
      {"FF 10", 2, Target::kUnknown},
      {"FF 64 24 04", 4, Target::kUnknown},
      {"FF 28", 2, Target::kUnknown},
      {"8F 00", 2, Target::kNone},
      {"8F 05 00 10 00 00", 6, Target::kNone},
      // Two-byte map.
      {"0F B6 45 08", 4, Target::kNone},
      {"0F AF C1", 3, Target::kNone},
      {"0F 1F 44 00 00", 5, Target::kNone},
      {"0F A2", 2, Target::kNone},
      {"0F 31", 2, Target::kNone},
      {"0F BA E0 03", 4, Target::kNone},
      {"0F 70 C1 1B", 4, Target::kNone},
      {"0F 01 D0", 3, Target::kNone},
      {"0F 38 00 C1", 4, Target::kNone},
      {"66 0F 38 00 44 24 08", 7, Target::kNone},
      {"66 0F 3A 0F C1 08", 6, Target::kNone},
      {"0F 00 D0", 3, Target::kNone},
      {"0F 00 F0", 3, Target::kUnknown},
      {"0F 78 C1", 3, Target::kNone},
      {"66 0F 78 C0 04 08", 6, Target::kNone},
      {"F2 0F 78 C1 04 08", 6, Target::kNone},
      {"F3 0F B8 C1", 4, Target::kNone},
      {"0F B8 01 00 00 00", 6, Target::kUnknown},
      {"66 0F B8 01 00", 5, Target::kUnknown},
      // VEX, EVEX and XOP, and the legacy instructions sharing their bytes.
      {"C5 F8 77", 3, Target::kNone},
      {"C5 F9 6F C1", 4, Target::kNone},
      {"C5 FA 6F 44 24 08", 6, Target::kNone},
      {"C4 E2 79 00 C1", 5, Target::kNone},
      {"C4 E3 79 0F C1 08", 6, Target::kNone},
      {"C4 E1 F9 6F 05 00 10 00 00", 9, Target::kNone},
      {"C5 00", 2, Target::kNone},
      {"C5 45 08", 3, Target::kNone},
      {"C4 00", 2, Target::kNone},
      {"62 F1 7C 48 28 C1", 6, Target::kNone},
      {"62 F2 7D 48 00 C1", 6, Target::kNone},
      {"62 F3 7D 48 0F C1 08", 7, Target::kNone},
      {"62 F1 7C 48 28 44 24 01", 8, Target::kNone},
      {"62 00", 2, Target::kNone},
      {"8F E8 78 C0 C1 05", 6, Target::kNone},
      {"8F E9 78 80 C1", 5, Target::kNone},
      {"8F EA 78 10 C0 01 00 00 00", 9, Target::kNone},
      // Transfers whose destination is not in their bytes.
      {"CB", 1, Target::kUnknown},
      {"CC", 1, Target::kUnknown},
      {"CF", 1, Target::kUnknown},
      {"F1", 1, Target::kUnknown},
      {"CA 08 00", 3, Target::kUnknown},
      {"CD 03", 2, Target::kUnknown},
      {"9A 00 10 00 00 23 00", 7, Target::kUnknown},
      {"66 9A 00 10 23 00", 6, Target::kUnknown},
      {"EA 00 10 00 00 23 00", 7, Target::kUnknown},
  };
  for (const PlainCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::vector<uint8_t> bytes = Hex(c.bytes);
    ASSERT_EQ(bytes.size(), c.length);
    for (uint8_t* destination : {Near(), Far()}) {
      const Copy copy = CopyTo(bytes, destination);
      EXPECT_EQ(copy.length, c.length);
      EXPECT_EQ(copy.extra, 0);
      EXPECT_EQ(copy.target, c.target == Target::kNone ? NoBranchTarget : UnknownBranchTarget);
      EXPECT_EQ(std::vector<uint8_t>(destination, destination + c.length), bytes);
      EXPECT_EQ(destination[c.length], 0xCC);
    }
  }
}

// What is not an instruction is refused, not measured: the copy writes
// nothing, and the caller learns of it from a null result.
TEST_F(CopierTest, InvalidBytesAreRefusedAndWriteNothing) {
  const char* const cases[] = {
      "D6",
      "0F 04",
      "0F 0A",
      "66 0F 3F",
      "0F 24 C0",              // test registers are gone
      "62 F9 7C 48 28 C1",     // EVEX with a reserved bit set
      "62 F1 78 48 28 C1",     // EVEX with the fixed bit clear
      "C5 F8 0C",              // VEX map 1, invalid opcode
      "C5 F8 84 00 00 00 00",  // no VEX form of a branch
      "C4 E4 79 00 C1",        // VEX map 4
      "66 C5 F8 77",           // VEX after an operand-size prefix
      "8D C0",                 // LEA of a register
      "0F BA C0 03",           // the bit-test group has no /0
      "FE D0",                 // FE /2
      "FF F8",                 // FF /7
      "FF D8",                 // far call through a register
      "C7 C8 01 00 00 00",     // C7 /1
      "8F 20",                 // 8F /4 is neither POP nor XOP
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    const std::vector<uint8_t> bytes = Hex(text);
    std::memset(source_, 0x90, 64);
    std::memcpy(source_, bytes.data(), bytes.size());
    std::memset(Far(), 0xCC, 64);
    uintptr_t target = 1;
    int32_t extra = 1;
    SetLastError(0);
    const uint8_t* next = CopyInstruction(Far(), Far() + 64, source_, &target, &extra);
    EXPECT_EQ(next, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(target, NoBranchTarget);
    EXPECT_EQ(extra, 0);
    EXPECT_EQ(Far()[0], 0xCC);
  }
}

// Faults found in review against the x86 encoding, each on its bytes.
TEST_F(CopierTest, LengthsOfRarerForms) {
  const struct {
    const char* bytes;
    size_t length;
  } cases[] = {
      // The address-size prefix selects 16-bit addressing: its own
      // displacement sizes and no SIB byte.
      {"67 8B 06 34 12", 5},
      {"67 8B 44 08", 4},
      {"67 8B 04", 3},
      {"67 8B 84 34 12", 5},
      {"67 8B C0", 3},
      {"67 C7 06 34 12 78 56 34 12", 9},
      {"67 F6 46 08 01", 5},
      // F6 /1 and F7 /1 are TEST with an immediate, like /0.
      {"F6 C8 01", 3},
      {"F6 0D 00 10 00 00 01", 7},
      {"F7 C8 01 00 00 00", 6},
      {"66 F7 C8 01 00", 5},
      // Moves to and from control and debug registers always name a
      // register, whatever the mod field says.
      {"0F 20 C0", 3},
      {"0F 22 05", 3},
      {"0F 21 45", 3},
      {"0F 23 85", 3},
      // UD1 and UD0 take a ModR/M byte.
      {"0F B9 C0", 3},
      {"0F B9 05 00 10 00 00", 7},
      {"0F FF 44 24 08", 5},
      // XABORT and a plain C6/C7 move.
      {"C6 F8 01", 3},
      {"C6 00 01", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::vector<uint8_t> bytes = Hex(c.bytes);
    const Copy copy = CopyTo(bytes, Far());
    EXPECT_EQ(copy.length, c.length);
    EXPECT_EQ(copy.extra, 0);
    EXPECT_EQ(std::vector<uint8_t>(Far(), Far() + c.length),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + c.length));
    EXPECT_EQ(Far()[c.length], 0xCC);
  }
}

// XBEGIN's operand is a displacement to the abort handler: it is re-based.
TEST_F(CopierTest, XbeginIsRelative) {
  std::vector<uint8_t> bytes = Hex("C7 F8");
  Append32(bytes, 0x100);
  const uintptr_t handler = reinterpret_cast<uintptr_t>(source_) + 6 + 0x100;
  const Copy copy = CopyTo(bytes, Far());
  EXPECT_EQ(copy.length, 6u);
  EXPECT_EQ(copy.extra, 0);
  EXPECT_EQ(copy.target, handler);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Far()) + 6 + Read32(Far() + 2), handler);

  const Copy short_copy = CopyTo(Hex("66 C7 F8 10 00"), Far());
  EXPECT_EQ(short_copy.length, 5u);
  EXPECT_EQ(short_copy.extra, 2);  // a 16-bit displacement that no longer fits
}

// With the operand-size prefix a short jump's target is cut to 16 bits; no
// wider form keeps that, so the jump is refused rather than widened.
TEST_F(CopierTest, ShortJumpsWithTheOperandSizePrefixAreRefused) {
  for (const char* text : {"66 EB 10", "66 74 10", "66 E2 10", "3E 66 7F 00"}) {
    SCOPED_TRACE(text);
    const std::vector<uint8_t> bytes = Hex(text);
    std::memcpy(source_, bytes.data(), bytes.size());
    std::memset(Far(), 0xCC, 16);
    SetLastError(0);
    EXPECT_EQ(CopyInstruction(Far(), Far() + 64, source_, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Far()[0], 0xCC);
  }
}

// Widening adds 3 or 4 bytes to a short jump, and the processor runs
// nothing longer than 15: a prefix chain that would push the copy past that
// is refused as a jump no copy can keep. Up to the limit the copy is made,
// and measures as one instruction of its full length.
TEST_F(CopierTest, ShortJumpsWhoseWidenedCopyWouldPassFifteenBytesAreRefused) {
  const std::string ten_cs = "2E 2E 2E 2E 2E 2E 2E 2E 2E 2E";
  const struct {
    std::string bytes;
    size_t copy_length;  // 0: refused
  } cases[] = {
      {"67 " + ten_cs + " F2 70 05", 0},  // 14 bytes, widened to 18
      {ten_cs + " 74 05", 0},             // 16
      {ten_cs + " 3E EB 05", 0},          // 16
      {"2E 2E 2E 2E 2E 2E 2E 2E 2E 74 05", 15},
      {ten_cs + " EB 05", 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::vector<uint8_t> bytes = Hex(c.bytes);
    std::memcpy(source_, bytes.data(), bytes.size());
    std::memset(Far(), 0xCC, 32);
    uintptr_t target = 1;
    int32_t extra = 1;
    SetLastError(0);
    const uint8_t* next = CopyInstruction(Far(), Far() + 64, source_, &target, &extra);
    if (c.copy_length == 0) {
      EXPECT_EQ(next, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
      EXPECT_EQ(target, NoBranchTarget);
      EXPECT_EQ(extra, 0);
      EXPECT_EQ(Far()[0], 0xCC);
      EXPECT_EQ(CopyInstruction(nullptr, nullptr, source_, nullptr, nullptr), nullptr);
    } else {
      ASSERT_EQ(next, source_ + bytes.size());
      EXPECT_EQ(bytes.size() + extra, c.copy_length);
      EXPECT_EQ(target, reinterpret_cast<uintptr_t>(source_) + bytes.size() + 5);
      EXPECT_EQ(CopyInstruction(nullptr, nullptr, Far(), nullptr, nullptr), Far() + c.copy_length);
      EXPECT_EQ(Far()[c.copy_length], 0xCC);
    }
  }
}

// No instruction is longer than 15 bytes: a longer prefix chain is refused,
// and neither it nor any valid instruction is read past. The bytes are put
// at the end of a readable page followed by an inaccessible one.
TEST(CopyInstruction, NeverReadsPastFifteenBytesOrPastTheInstruction) {
  auto* pages = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old;
  ASSERT_TRUE(VirtualProtect(pages + 0x1000, 0x1000, PAGE_NOACCESS, &old));
  uint8_t* const page_end = pages + 0x1000;
  auto place = [&](const std::vector<uint8_t>& bytes) {
    uint8_t* at = page_end - bytes.size();
    std::memcpy(at, bytes.data(), bytes.size());
    return at;
  };
  std::vector<uint8_t> fifteen(11, 0x3E);
  for (uint8_t b : {0x8B, 0x44, 0x24, 0x04}) fifteen.push_back(b);
  const uint8_t* at = place(fifteen);
  EXPECT_EQ(CopyInstruction(nullptr, nullptr, at, nullptr, nullptr), at + 15);

  std::vector<uint8_t> sixteen(12, 0x3E);
  for (uint8_t b : {0x8B, 0x44, 0x24}) sixteen.push_back(b);  // the 16th byte would be next
  at = place(sixteen);
  EXPECT_EQ(CopyInstruction(nullptr, nullptr, at, nullptr, nullptr), nullptr);

  at = place(std::vector<uint8_t>(15, 0x66));  // prefixes up to the limit
  EXPECT_EQ(CopyInstruction(nullptr, nullptr, at, nullptr, nullptr), nullptr);

  at = place({0x62, 0xF9});  // EVEX form with a reserved bit: decided by two bytes
  EXPECT_EQ(CopyInstruction(nullptr, nullptr, at, nullptr, nullptr), nullptr);

  for (const std::vector<uint8_t>& valid : {std::vector<uint8_t>{0xC3},
                                            {0x8B, 0xFF},
                                            {0xE8, 1, 2, 3, 4},
                                            {0x74, 0x10},
                                            {0xC5, 0xF8, 0x77},
                                            {0x67, 0x8B, 0x06, 0x34, 0x12},
                                            {0x62, 0xF1, 0x7C, 0x48, 0x28, 0xC1}}) {
    at = place(valid);
    EXPECT_EQ(CopyInstruction(nullptr, nullptr, at, nullptr, nullptr), at + valid.size());
  }
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(CopierTest, RelativeCallsAndJumpsKeepTheirDestination) {
  const struct {
    const char* opcode;
    int32_t displacement;
  } cases[] = {
      {"E8", 0x100}, {"E8", -0x2000}, {"E9", 0x7000}, {"0F 84", -0x10}, {"0F 8F", 0x12345},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opcode);
    std::vector<uint8_t> bytes = Hex(c.opcode);
    const size_t at = bytes.size();
    Append32(bytes, static_cast<uint32_t>(c.displacement));
    const uintptr_t destination =
        reinterpret_cast<uintptr_t>(source_) + bytes.size() + c.displacement;
    for (uint8_t* to : {Near(), Far()}) {
      const Copy copy = CopyTo(bytes, to);
      EXPECT_EQ(copy.length, bytes.size());
      EXPECT_EQ(copy.extra, 0);
      EXPECT_EQ(copy.target, destination);
      EXPECT_EQ(0, std::memcmp(to, bytes.data(), at));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(to) + bytes.size() + Read32(to + at), destination);
      EXPECT_EQ(Read32(to + at), c.displacement - static_cast<int32_t>(to - source_));
    }
  }
}

TEST_F(CopierTest, SixteenBitDisplacementsAreRebasedButNeverWidened) {
  const std::vector<uint8_t> bytes = Hex("66 E8 10 00");
  const Copy near_copy = CopyTo(bytes, Near());
  EXPECT_EQ(near_copy.length, 4u);
  EXPECT_EQ(near_copy.extra, 0);
  EXPECT_EQ(near_copy.target, reinterpret_cast<uintptr_t>(source_) + 4 + 0x10);
  EXPECT_EQ(Near()[2], static_cast<uint8_t>(0x10 - kNearDistance));
  EXPECT_EQ(Near()[3], 0xFF);
  EXPECT_EQ(Near()[4], 0xCC);

  const Copy far_copy = CopyTo(bytes, Far());
  EXPECT_EQ(far_copy.length, 4u);
  EXPECT_EQ(far_copy.extra, 2);  // the caller learns that it no longer fits
}

TEST_F(CopierTest, ShortJumpsAreWidenedToTheirLongForms) {
  for (int8_t d8 : {int8_t{5}, int8_t{-0x10}, int8_t{0x7F}}) {
    SCOPED_TRACE(d8);
    const uintptr_t destination = reinterpret_cast<uintptr_t>(source_) + 2 + d8;
    for (uint8_t* to : {Near(), Far()}) {
      Copy copy = CopyTo({0xEB, static_cast<uint8_t>(d8)}, to);
      EXPECT_EQ(copy.length, 2u);
      EXPECT_EQ(copy.extra, 3);
      EXPECT_EQ(copy.target, destination);
      EXPECT_EQ(to[0], 0xE9);
      EXPECT_EQ(Read32(to + 1), d8 - static_cast<int32_t>(to - source_) - 3);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(to) + 5 + Read32(to + 1), destination);
      EXPECT_EQ(to[5], 0xCC);

      for (uint8_t condition = 0; condition < 16; ++condition) {
        copy = CopyTo({static_cast<uint8_t>(0x70 | condition), static_cast<uint8_t>(d8)}, to);
        EXPECT_EQ(copy.length, 2u);
        EXPECT_EQ(copy.extra, 4);
        EXPECT_EQ(copy.target, destination);
        EXPECT_EQ(to[0], 0x0F);
        EXPECT_EQ(to[1], 0x80 | condition);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(to) + 6 + Read32(to + 2), destination);
        EXPECT_EQ(to[6], 0xCC);
      }
    }
  }
  // A branch-hint prefix stays in front of the widened jump.
  const Copy hinted = CopyTo(Hex("3E 74 10"), Far());
  EXPECT_EQ(hinted.length, 3u);
  EXPECT_EQ(hinted.extra, 4);
  EXPECT_EQ(Far()[0], 0x3E);
  EXPECT_EQ(Far()[1], 0x0F);
  EXPECT_EQ(Far()[2], 0x84);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Far()) + 7 + Read32(Far() + 3),
            reinterpret_cast<uintptr_t>(source_) + 3 + 0x10);
}

// Loop and jcxz have no long form: a displacement that no longer fits is
// reported with a negative extra length.
TEST_F(CopierTest, LoopsThatCannotReachReportANegativeExtraLength) {
  for (uint8_t opcode : {0xE0, 0xE1, 0xE2, 0xE3}) {
    SCOPED_TRACE(opcode);
    const uintptr_t destination = reinterpret_cast<uintptr_t>(source_) + 2 - 2;
    Copy copy = CopyTo({opcode, 0xFE}, Near());
    EXPECT_EQ(copy.length, 2u);
    EXPECT_EQ(copy.extra, 0);
    EXPECT_EQ(copy.target, destination);
    EXPECT_EQ(Near()[1], static_cast<uint8_t>(-2 - static_cast<int>(kNearDistance)));

    copy = CopyTo({opcode, 0xFE}, Far());
    EXPECT_EQ(copy.length, 2u);
    EXPECT_EQ(copy.extra, -3);
    EXPECT_EQ(copy.target, destination);
  }
}

TEST_F(CopierTest, IndirectJumpsThroughAnAddressReadTheirTarget) {
  static uint32_t cell = 0x12345678;
  const uint32_t address = reinterpret_cast<uintptr_t>(&cell);
  const struct {
    const char* prefix_and_opcode;
    uintptr_t target;
  } cases[] = {
      {"FF 25", 0x12345678},
      {"FF 15", 0x12345678},
      {"2E FF 25", 0x12345678},
      {"64 FF 25", UnknownBranchTarget},
      {"3E FF 15", UnknownBranchTarget},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix_and_opcode);
    std::vector<uint8_t> bytes = Hex(c.prefix_and_opcode);
    Append32(bytes, address);
    const Copy copy = CopyTo(bytes, Far());
    EXPECT_EQ(copy.length, bytes.size());
    EXPECT_EQ(copy.target, c.target);
    EXPECT_EQ(std::vector<uint8_t>(Far(), Far() + bytes.size()), bytes);
  }
  // An address that is not readable memory gives an unknown target.
  std::vector<uint8_t> bytes = Hex("FF 25");
  Append32(bytes, 0x10);
  EXPECT_EQ(CopyTo(bytes, Far()).target, UnknownBranchTarget);
}

TEST(CopyInstruction, MeasuresWithoutADestination) {
  std::vector<uint8_t> code(14, 0x66);
  code.push_back(0x90);
  uintptr_t target = 1;
  int32_t extra = 1;
  const uint8_t* next = CopyInstruction(nullptr, nullptr, code.data(), &target, &extra);
  EXPECT_EQ(next, code.data() + 15);
  EXPECT_EQ(target, NoBranchTarget);
  EXPECT_EQ(extra, 0);

  const uint8_t jump[] = {0xEB, 0x10};
  next = CopyInstruction(nullptr, nullptr, jump, nullptr, nullptr);
  EXPECT_EQ(next, jump + 2);
}

TEST(CopyInstruction, NullSourceFailsWithInvalidData) {
  uintptr_t target = 1;
  int32_t extra = 1;
  SetLastError(0);
  EXPECT_EQ(CopyInstruction(nullptr, nullptr, nullptr, &target, &extra), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(target, NoBranchTarget);
  EXPECT_EQ(extra, 0);
}

struct AssembledInstruction {
  uint32_t offset;
  uint32_t length;
  const char* listing;
};

const AssembledInstruction kAssembled[] = {
#include "instruction_lengths.inc"
};

// Every instruction of the sample blob, measured by the copier, has the
// length the assembler gave it.
TEST(CopyInstruction, LengthsAgreeWithTheAssembler) {
  const auto* begin = reinterpret_cast<const uint8_t*>(InstructionSamplesBegin);
  const auto* end = reinterpret_cast<const uint8_t*>(InstructionSamplesEnd);
  const uint8_t* p = begin;
  size_t checked = 0;
  for (const AssembledInstruction& instruction : kAssembled) {
    ASSERT_EQ(static_cast<size_t>(p - begin), instruction.offset) << instruction.listing;
    const uint8_t* next = CopyInstruction(nullptr, nullptr, p, nullptr, nullptr);
    EXPECT_EQ(static_cast<size_t>(next - p), instruction.length) << instruction.listing;
    p += instruction.length;
    ++checked;
  }
  EXPECT_EQ(p, end);
  EXPECT_GT(checked, 300u);
}

}  // namespace
}  // namespace hooking
