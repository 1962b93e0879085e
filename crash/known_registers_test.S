# SnapshotWithKnownRegisters(CONTEXT* context, RegisterImage* after), cdecl.
# Loads fixed values into every integer register, the flags, ST(0) and XMM0,
# calls SnapshotThreadRegisters, and records what the registers hold after
# it returned together with the return address and stack pointer that the
# snapshot should report.

        .section .rdata,"dr"
        .p2align 4
known_xmm:
        .long   0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210

        .text
        .p2align 4
        .globl  _SnapshotWithKnownRegisters
        .def    _SnapshotWithKnownRegisters; .scl 2; .type 32; .endef
_SnapshotWithKnownRegisters:
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        # +16 return address, +20 context, +24 image
        movl    20(%esp), %eax
        movl    24(%esp), %edx
        fldpi
        movups  known_xmm, %xmm0
        pushl   %eax                    # the argument
        movl    %esp, 36(%edx)          # stack pointer once the call returned
        movl    $0x11111111, %eax
        movl    $0x22222222, %ecx
        movl    $0x33333333, %edx
        movl    $0x44444444, %ebx
        movl    $0x55555555, %esi
        movl    $0x66666666, %edi
        movl    $0x77777777, %ebp
        pushl   $0x8D7                  # CF PF AF ZF SF OF and the fixed bit
        popfl
        call    _SnapshotThreadRegisters
after_call:
        pushfl
        pushl   %eax
        # +0 eax +4 flags +8 argument +12..+24 saved +28 return +32 context +36 image
        movl    36(%esp), %eax
        popl    0(%eax)
        popl    28(%eax)
        movl    %ecx, 4(%eax)
        movl    %edx, 8(%eax)
        movl    %ebx, 12(%eax)
        movl    %esi, 16(%eax)
        movl    %edi, 20(%eax)
        movl    %ebp, 24(%eax)
        movl    $after_call, 32(%eax)
        fstpt   40(%eax)
        movups  %xmm0, 56(%eax)
        addl    $4, %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
