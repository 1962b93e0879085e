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

// Invalid bytes are skipped one at a time: what came before them (prefix,
// escape, VEX bytes) is copied, nothing of the invalid byte is.
TEST_F(CopierTest, InvalidBytesWriteNothingAndAdvanceByOne) {
  const struct {
    const char* bytes;
    size_t length;
    size_t written;
  } cases[] = {
      {"D6", 1, 0},
      {"0F 04", 2, 1},
      {"0F FF", 2, 1},
      {"0F 0A", 2, 1},
      {"0F B9 C0", 2, 1},
      {"66 0F 3F", 3, 2},
      {"62 F9 7C 48 28 C1", 1, 0},  // EVEX with a reserved bit set
      {"62 F1 78 48 28 C1", 1, 0},  // EVEX with the fixed bit clear
      {"C5 F8 0C", 3, 2},           // VEX map 1, invalid opcode
      {"C4 E4 79 00 C1", 4, 3},     // VEX map 4
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::vector<uint8_t> bytes = Hex(c.bytes);
    const Copy copy = CopyTo(bytes, Far());
    EXPECT_EQ(copy.length, c.length);
    EXPECT_EQ(copy.extra, 0);
    EXPECT_EQ(copy.target, NoBranchTarget);
    EXPECT_EQ(std::vector<uint8_t>(Far(), Far() + c.written),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + c.written));
    EXPECT_EQ(Far()[c.written], 0xCC);
  }
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

TEST(CopyInstruction, MeasuresWithoutADestinationAndToleratesAnyPrefixChain) {
  std::vector<uint8_t> code(200, 0x66);
  code.push_back(0x90);
  uintptr_t target = 1;
  int32_t extra = 1;
  const uint8_t* next = CopyInstruction(nullptr, nullptr, code.data(), &target, &extra);
  EXPECT_EQ(next, code.data() + 201);
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
