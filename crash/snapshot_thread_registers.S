# SnapshotThreadRegisters(CONTEXT* context), cdecl: fills `context` with the
# caller's registers. See snapshot_thread_registers.h for the contract.
#
# Offsets are those of the 32-bit CONTEXT record.

        .text
        .p2align 4
        .globl  _SnapshotThreadRegisters
        .def    _SnapshotThreadRegisters; .scl 2; .type 32; .endef
_SnapshotThreadRegisters:
        # Flags first, before any instruction can change them.
        pushfl
        pushl   %eax
        pushl   %ecx
        pushl   %edx
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        # Stack: +0 edi +4 esi +8 ebx +12 edx +16 ecx +20 eax +24 eflags
        #        +28 return address +32 context
        cld
        movl    32(%esp), %edi

        movl    0(%esp), %eax
        movl    %eax, 0x9C(%edi)        # Edi
        movl    4(%esp), %eax
        movl    %eax, 0xA0(%edi)        # Esi
        movl    8(%esp), %eax
        movl    %eax, 0xA4(%edi)        # Ebx
        movl    12(%esp), %eax
        movl    %eax, 0xA8(%edi)        # Edx
        movl    16(%esp), %eax
        movl    %eax, 0xAC(%edi)        # Ecx
        movl    20(%esp), %eax
        movl    %eax, 0xB0(%edi)        # Eax
        movl    %ebp, 0xB4(%edi)        # Ebp: no frame of our own, so the caller's
        movl    28(%esp), %eax
        movl    %eax, 0xB8(%edi)        # Eip: the return address
        movl    24(%esp), %eax
        movl    %eax, 0xC0(%edi)        # EFlags
        leal    32(%esp), %eax
        movl    %eax, 0xC4(%edi)        # Esp: the caller's, after the return

        xorl    %eax, %eax
        movw    %gs, %ax
        movl    %eax, 0x8C(%edi)
        movw    %fs, %ax
        movl    %eax, 0x90(%edi)
        movw    %es, %ax
        movl    %eax, 0x94(%edi)
        movw    %ds, %ax
        movl    %eax, 0x98(%edi)
        movw    %cs, %ax
        movl    %eax, 0xBC(%edi)
        movw    %ss, %ax
        movl    %eax, 0xC8(%edi)

        xorl    %eax, %eax
        movl    %eax, 0x04(%edi)        # Dr0
        movl    %eax, 0x08(%edi)        # Dr1
        movl    %eax, 0x0C(%edi)        # Dr2
        movl    %eax, 0x10(%edi)        # Dr3
        movl    %eax, 0x14(%edi)        # Dr6
        movl    %eax, 0x18(%edi)        # Dr7

        # FNSAVE resets the unit; reload it so the caller keeps its state.
        fnsave  0x1C(%edi)
        frstor  0x1C(%edi)
        movl    %eax, 0x88(%edi)        # FloatSave.Cr0NpxState

        movl    $1, %eax
        cpuid
        testl   $0x01000000, %edx       # FXSR
        jz      1f

        movl    $0x1002F, (%edi)
        # FXSAVE needs a 16-byte aligned area, which the context need not be.
        movl    %esp, %ebx
        subl    $512, %esp
        andl    $-16, %esp
        fxsave  (%esp)
        movl    %esp, %esi
        addl    $0xCC, %edi             # ExtendedRegisters
        movl    $128, %ecx
        rep movsl
        movl    %ebx, %esp
        jmp     2f
1:
        movl    $0x1000F, (%edi)
        addl    $0xCC, %edi
        xorl    %eax, %eax
        movl    $128, %ecx
        rep stosl
2:
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %edx
        popl    %ecx
        popl    %eax
        popfl
        ret
