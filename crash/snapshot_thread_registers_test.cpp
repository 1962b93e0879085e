#include "crash/snapshot_thread_registers.h"

#include <cpuid.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// What the assembly caller saw after SnapshotThreadRegisters returned.
struct RegisterImage {
  std::uint32_t eax, ecx, edx, ebx, esi, edi, ebp;
  std::uint32_t eflags;
  std::uint32_t expected_eip;
  std::uint32_t expected_esp;
  std::uint8_t st0[10];
  std::uint8_t padding[6];
  std::uint8_t xmm0[16];
};
static_assert(offsetof(RegisterImage, st0) == 40);
static_assert(offsetof(RegisterImage, xmm0) == 56);

// The offsets the assembly writes to.
static_assert(offsetof(CONTEXT, FloatSave) == 0x1C);
static_assert(offsetof(CONTEXT, FloatSave.Cr0NpxState) == 0x88);
static_assert(offsetof(CONTEXT, SegGs) == 0x8C);
static_assert(offsetof(CONTEXT, Edi) == 0x9C);
static_assert(offsetof(CONTEXT, Eax) == 0xB0);
static_assert(offsetof(CONTEXT, Eip) == 0xB8);
static_assert(offsetof(CONTEXT, Esp) == 0xC4);
static_assert(offsetof(CONTEXT, SegSs) == 0xC8);
static_assert(offsetof(CONTEXT, ExtendedRegisters) == 0xCC);

extern "C" void SnapshotWithKnownRegisters(CONTEXT* context, RegisterImage* after);

// Pi as an 80-bit extended value, as FNSAVE and FXSAVE store it.
const std::uint8_t kPi[10] = {0x35, 0xC2, 0x68, 0x21, 0xA2, 0xDA, 0x0F, 0xC9, 0x00, 0x40};
const std::uint8_t kKnownXmm[16] = {0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89,
                                    0x98, 0xBA, 0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76};
constexpr std::uint32_t kArithmeticFlags = 0x8D5;  // CF PF AF ZF SF OF

bool HasFxsave() {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & (1u << 24)) != 0;
}

std::uint16_t ReadCs() {
  std::uint16_t value;
  __asm__("movw %%cs, %0" : "=r"(value));
  return value;
}
std::uint16_t ReadSs() {
  std::uint16_t value;
  __asm__("movw %%ss, %0" : "=r"(value));
  return value;
}
std::uint16_t ReadFs() {
  std::uint16_t value;
  __asm__("movw %%fs, %0" : "=r"(value));
  return value;
}

TEST(SnapshotThreadRegistersTest, RecordsTheCallersRegistersAndChangesNone) {
  CONTEXT context;
  std::memset(&context, 0xCC, sizeof context);
  RegisterImage after;
  std::memset(&after, 0, sizeof after);
  SnapshotWithKnownRegisters(&context, &after);

  // Integer registers, frame pointer, flags as at the call.
  EXPECT_EQ(context.Eax, 0x11111111u);
  EXPECT_EQ(context.Ecx, 0x22222222u);
  EXPECT_EQ(context.Edx, 0x33333333u);
  EXPECT_EQ(context.Ebx, 0x44444444u);
  EXPECT_EQ(context.Esi, 0x55555555u);
  EXPECT_EQ(context.Edi, 0x66666666u);
  EXPECT_EQ(context.Ebp, 0x77777777u);
  EXPECT_EQ(context.EFlags & kArithmeticFlags, kArithmeticFlags);
  EXPECT_EQ(context.EFlags & 0x400u, 0u);  // direction flag as at the call
  // Where the caller goes on.
  EXPECT_EQ(context.Eip, after.expected_eip);
  EXPECT_EQ(context.Esp, after.expected_esp);
  EXPECT_EQ(context.SegCs, ReadCs());
  EXPECT_EQ(context.SegSs, ReadSs());
  EXPECT_EQ(context.SegFs, ReadFs());

  EXPECT_EQ(context.Dr0, 0u);
  EXPECT_EQ(context.Dr1, 0u);
  EXPECT_EQ(context.Dr2, 0u);
  EXPECT_EQ(context.Dr3, 0u);
  EXPECT_EQ(context.Dr6, 0u);
  EXPECT_EQ(context.Dr7, 0u);

  // ST(0) in the FNSAVE image; the snapshot left it loaded.
  EXPECT_EQ(std::memcmp(context.FloatSave.RegisterArea, kPi, 10), 0);
  EXPECT_EQ(context.FloatSave.Cr0NpxState, 0u);
  EXPECT_EQ(std::memcmp(after.st0, kPi, 10), 0);

  if (HasFxsave()) {
    EXPECT_EQ(context.ContextFlags, 0x1002Fu);
    EXPECT_EQ(std::memcmp(context.ExtendedRegisters + 32, kPi, 10), 0);         // ST(0)
    EXPECT_EQ(std::memcmp(context.ExtendedRegisters + 160, kKnownXmm, 16), 0);  // XMM0
  } else {
    EXPECT_EQ(context.ContextFlags, 0x1000Fu);
    for (std::uint8_t byte : context.ExtendedRegisters) ASSERT_EQ(byte, 0);
  }

  // Nothing the caller holds was changed.
  EXPECT_EQ(after.eax, 0x11111111u);
  EXPECT_EQ(after.ecx, 0x22222222u);
  EXPECT_EQ(after.edx, 0x33333333u);
  EXPECT_EQ(after.ebx, 0x44444444u);
  EXPECT_EQ(after.esi, 0x55555555u);
  EXPECT_EQ(after.edi, 0x66666666u);
  EXPECT_EQ(after.ebp, 0x77777777u);
  EXPECT_EQ(after.eflags & kArithmeticFlags, kArithmeticFlags);
  EXPECT_EQ(std::memcmp(after.xmm0, kKnownXmm, 16), 0);
}

}  // namespace
