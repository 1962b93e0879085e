// Copies one 32-bit x86 instruction to a new address so that it behaves the
// same there: relative displacements are re-based, short jumps are widened to
// their 32-bit forms, and the branch target and the number of extra bytes the
// copy occupies are reported. This is what moves a function's first
// instructions into a trampoline.
//
// The copier keeps no state between calls; the caller owns the destination.

#ifndef HOOKING_INSTRUCTION_COPIER_H_
#define HOOKING_INSTRUCTION_COPIER_H_

#include <cstdint>

namespace hooking {

// Branch target of an instruction that transfers no control.
inline constexpr uintptr_t NoBranchTarget = 0;
// Branch target of an instruction whose destination cannot be read from its
// bytes (indirect, far, returns from interrupts, traps).
inline constexpr uintptr_t UnknownBranchTarget = 0xFFFFFFFF;

// Copies the instruction at `source` to `destination` (null: only measure,
// using a private scratch area) and returns the address of the next
// instruction at the source. `pool_limit` is accepted for callers that track
// their buffer's end; this processor's copies never need it. `out_target`
// receives the branch target, `out_extra` the number of bytes the copy is
// longer than the source (3 or 4 for a widened short jump, 2 for a 16-bit
// displacement that no longer fits, -3 for a loop or jcxz displacement that
// no longer fits); both are optional and set at every call.
//
// What cannot be moved is refused: the result is null, nothing is written,
// both outputs are 0 and the last error says why: ERROR_INVALID_DATA for a
// null source, bytes that are no instruction in 32-bit code, or a prefix
// chain that would make an instruction longer than 15 bytes;
// ERROR_NOT_SUPPORTED for a short jump, loop or jcxz under the operand-size
// prefix, whose target is cut to 16 bits and which no wider form can keep,
// and for a short jump whose widened copy would be longer than 15 bytes.
// The copier reads an instruction's bytes in order and nothing after its
// last byte, and never more than 15 bytes for a refused one.
const uint8_t* CopyInstruction(uint8_t* destination, uint8_t* pool_limit, const uint8_t* source,
                               uintptr_t* out_target, int32_t* out_extra);

}  // namespace hooking

#endif  // HOOKING_INSTRUCTION_COPIER_H_
