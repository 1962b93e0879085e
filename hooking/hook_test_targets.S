# Functions with exact first bytes for the hook transaction tests. Each is
# described by the C++ declaration in hook_transaction_test.cpp.
        .intel_syntax noprefix
        .text

# int HtPlainTarget(int x): 3x + 7; moved span 4 + 3 bytes.
        .globl _HtPlainTarget
        .p2align 4
_HtPlainTarget:
        mov eax, dword ptr [esp + 4]      # 8B 44 24 04
        lea eax, [eax + eax * 2]          # 8D 04 40
        add eax, 7                        # 83 C0 07
        ret

# int HtLineStartTarget(int x) and int HtLineCrossingTarget(int x): 3x + 7,
# as HtPlainTarget. The first begins a 64-byte cache line; the second begins
# at byte 60 of one, so that its first eight bytes span two lines of the
# same page.
        .globl _HtLineStartTarget
        .p2align 7
_HtLineStartTarget:
        mov eax, dword ptr [esp + 4]
        lea eax, [eax + eax * 2]
        add eax, 7
        ret
        .globl _HtLineCrossingTarget
        .p2align 7
        .fill 60, 1, 0xCC
_HtLineCrossingTarget:
        mov eax, dword ptr [esp + 4]
        lea eax, [eax + eax * 2]
        add eax, 7
        ret

# int HtKernelFrameTarget(int x): x + 11. Begins as kernelbase's functions
# do on Windows 8 and later, with the set-up of an exception frame
# (push -2; push imm32; push imm32; mov eax, fs:[0]), undone at once: the
# moved span is 2 + 5 bytes.
        .globl _HtKernelFrameTarget
        .p2align 4
_HtKernelFrameTarget:
        .byte 0x6A, 0xFE
        .byte 0x68, 0x78, 0x56, 0x34, 0x12
        .byte 0x68, 0xF0, 0xDE, 0xBC, 0x9A
        .byte 0x64, 0xA1, 0x00, 0x00, 0x00, 0x00
        add esp, 12
        mov eax, dword ptr [esp + 4]
        add eax, 11
        ret

# int HtHotPatchTarget(int x): x + 13. Begins with the hot-patch prologue of
# Windows 7's functions (mov edi, edi; push ebp; mov ebp, esp): the moved
# span is 2 + 1 + 2 bytes.
        .globl _HtHotPatchTarget
        .p2align 4
_HtHotPatchTarget:
        .byte 0x8B, 0xFF, 0x55, 0x8B, 0xEC
        mov eax, dword ptr [ebp + 8]
        add eax, 13
        pop ebp
        ret

# int HtNearJmpEntry(int x): a 32-bit jump to HtPlainTarget, as a forwarding
# export may begin.
        .globl _HtNearJmpEntry
        .p2align 4
_HtNearJmpEntry:
        .byte 0xE9
        .long _HtPlainTarget - (. + 4)

# int HtCallTarget(int x): 40 + x; begins with a relative call.
        .globl _HtCallTarget
        .p2align 4
_HtCallTarget:
        call HtForty                      # E8 rel32
        add eax, dword ptr [esp + 4]
        ret
HtForty:
        mov eax, 40
        ret

# int HtCallWaitTarget(int x): 40 + x, as HtCallTarget, but the function
# its first instruction calls goes on through the pointer HtWaiter (a
# function of no arguments returning 40), which a test sets to one that
# blocks: a thread there will return into wherever that call was made.
        .globl _HtCallWaitTarget
        .p2align 4
_HtCallWaitTarget:
        call HtCallWaiter                 # E8 rel32
        add eax, dword ptr [esp + 4]
        ret
HtCallWaiter:
        jmp dword ptr [_HtWaiter]

# int __fastcall HtJccTarget(int x): x == 0 ? 100 : x + 1; a short
# conditional jump among the first bytes.
        .globl @HtJccTarget@4
        .p2align 4
@HtJccTarget@4:
        .byte 0x85, 0xC9                  # test ecx, ecx
        .byte 0x74, 0x04                  # jz +4 (to the mov eax, 100)
        lea eax, [ecx + 1]                # 8D 41 01
        ret
        mov eax, 100
        ret

# int __fastcall HtEightByteTarget(int x): 2x + 1 + 0x1000; the moved span
# is exactly 8 bytes, and running its start twice gives a wrong result.
        .globl @HtEightByteTarget@4
        .p2align 4
@HtEightByteTarget@4:
        .byte 0x01, 0xC9                  # add ecx, ecx
        .byte 0x41                        # inc ecx
        .byte 0xB8, 0x00, 0x10, 0x00, 0x00  # mov eax, 0x1000
        .byte 0x01, 0xC8                  # add eax, ecx
        ret

# int HtJmpTarget(int x): x + 5; a short jump ends the function's first
# block, a breakpoint byte pads it.
        .globl _HtJmpTarget
        .p2align 4
_HtJmpTarget:
        mov eax, dword ptr [esp + 4]      # 8B 44 24 04
        .byte 0xEB, 0x01                  # jmp +1
        .byte 0xCC
        add eax, 5
        ret

# int HtStressTarget(int x): 5x + 1 with a frame; many short instructions.
        .globl _HtStressTarget
        .p2align 4
_HtStressTarget:
        push ebp                          # 55
        mov ebp, esp                      # 8B EC
        mov eax, dword ptr [ebp + 8]      # 8B 45 08
        imul eax, eax, 5
        add eax, 1
        pop ebp
        ret

# int HtRetFiller(): 1, followed by four breakpoint bytes of padding.
        .globl _HtRetFiller
        .p2align 4
_HtRetFiller:
        .byte 0xC3, 0xCC, 0xCC, 0xCC, 0xCC
        .byte 0x31, 0xC0, 0xC3

# A function of one byte followed by more code: too short to hook.
        .globl _HtTooShort
        .p2align 4
_HtTooShort:
        ret
        xor eax, eax
        ret

# A 24-byte instruction (long prefix chain): the moved span would not fit
# the restore area.
        .globl _HtLongPrefixes
        .p2align 4
_HtLongPrefixes:
        .fill 20, 1, 0x3E
        .byte 0x8B, 0x44, 0x24, 0x04
        ret

# A prefix chain longer than the code area itself.
        .globl _HtVeryLongPrefixes
        .p2align 4
_HtVeryLongPrefixes:
        .fill 40, 1, 0x3E
        .byte 0x8B, 0x44, 0x24, 0x04
        ret

# A loop instruction among the first bytes: its 8-bit displacement cannot
# reach back from a trampoline.
        .globl _HtLoopTarget
        .p2align 4
_HtLoopTarget:
        xor eax, eax                      # 31 C0
        inc eax                           # 40
        .byte 0xE2, 0xFD                  # loop (to the inc)
        ret

# Starts with a short jump to the body: resolution rewrites the body.
        .globl _HtShortJmpEntry
        .globl _HtShortJmpBody
        .p2align 4
_HtShortJmpEntry:
        .byte 0xEB, 0x0E                  # jmp +14
        .fill 14, 1, 0xCC
_HtShortJmpBody:
        mov eax, dword ptr [esp + 4]
        add eax, eax
        ret

# A short jump onto a 32-bit jump: resolution follows both.
        .globl _HtEbToE9
        .p2align 4
_HtEbToE9:
        .byte 0xEB, 0x00
        .byte 0xE9
        .long _HtPlainTarget - (. + 4)

# A short jump onto a 32-bit jump whose destination is the module's own
# patch stub (jmp through the cell one page further): resolution stops at
# the 32-bit jump.
        .globl _HtEbToStub
        .globl _HtEbToStubJump
        .p2align 4
_HtEbToStub:
        .byte 0xEB, 0x00
_HtEbToStubJump:
        .byte 0xE9
        .long HtPatchStub - (. + 4)
        .p2align 4
HtPatchStub:
        jmp dword ptr [HtPatchStub + 0x1000]

# An import stub: jmp through this program's import table cell.
        .globl _HtImportStub
        .p2align 4
_HtImportStub:
        jmp dword ptr [__imp__GetFileType@4]

# The same jump behind a hot-patch prologue that is undone at once, as the
# system's forwarding stubs look.
        .globl _HtHotPatchImportStub
        .p2align 4
_HtHotPatchImportStub:
        .byte 0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D
        jmp dword ptr [__imp__GetFileType@4]

# DWORD WINAPI HtParkedCaller(void*): calls a function whose entry state it
# imitates: it spins at HtParkSpin with [esp] = return address and
# [esp + 4] = 5; the test moves the thread's instruction pointer into the
# function under test. The thread's exit code is the function's result.
        .globl _HtParkedCaller@4
        .globl _HtParkSpin
        .globl _HtParkStarted
        .p2align 4
_HtParkedCaller@4:
        mov dword ptr [_HtParkStarted], 1
        push 5
        call _HtParkSpin
        add esp, 4
        ret 4
_HtParkSpin:
        jmp _HtParkSpin

        .data
_HtParkStarted:
        .long 0
        .globl _HtWaiter
_HtWaiter:
        .long 0
