# A blob of instructions whose lengths the assembler decides: the copier's
# lengths are compared with these (never executed).
        .intel_syntax noprefix
        .section .rdata,"dr"
        .globl _InstructionSamplesBegin
        .globl _InstructionSamplesEnd
_InstructionSamplesBegin:
sample_back:
        # ALU forms
        add eax, ebx
        add byte ptr [eax], cl
        add ecx, dword ptr [esi + 8]
        add al, 5
        add eax, 0x12345678
        add ax, 0x1234
        add dword ptr [ebp - 4], 1
        add dword ptr [ebp - 4], 0x1000
        add word ptr [ebx], 0x1000
        add byte ptr [0x1000], 3
        or edx, dword ptr [eax + ecx * 4 + 0x10]
        adc eax, dword ptr [esp]
        sbb ecx, dword ptr [esp + 0x100]
        and eax, dword ptr [ecx * 8 + 0x1000]
        sub esp, 0x20
        sub esp, 0x200
        xor eax, eax
        cmp dword ptr [eax + ebx], 0
        cmp al, byte ptr [edx]
        test eax, eax
        test byte ptr [eax + 4], 1
        test al, 0x10
        test eax, 0x10000
        test word ptr [ecx], 0x100
        test dword ptr [ebp + 8], 0x10000
        # moves
        mov eax, dword ptr [esp + 4]
        mov eax, dword ptr [ebp + 8]
        mov dword ptr [ebp - 0x100], eax
        mov eax, dword ptr [0x12345678]
        mov al, byte ptr [0x12345678]
        mov dword ptr [0x12345678], eax
        mov ax, word ptr [0x12345678]
        mov ecx, 0x12345678
        mov cx, 0x1234
        mov cl, 0x12
        mov byte ptr [eax], 1
        mov dword ptr [eax], 1
        mov dword ptr [esp + 0x10], 0x12345678
        mov word ptr [eax], 1
        mov eax, dword ptr fs:[0x18]
        mov eax, dword ptr fs:[eax]
        movzx eax, byte ptr [ebp + 8]
        movsx eax, word ptr [ecx]
        lea eax, [eax + eax * 2]
        lea esi, [esi]
        lea edi, [edi * 4]
        lea esp, [ebp - 0xC]
        xchg eax, ecx
        xchg dword ptr [eax], ecx
        mov eax, ebp
        mov es, ax
        mov ax, ds
        # stack and frames
        push ebp
        mov ebp, esp
        pop ebp
        push 1
        push 0x12345678
        push word ptr [eax]
        push dword ptr [ebp + 8]
        pop dword ptr [eax]
        pop dword ptr [0x1000]
        pushad
        popad
        pushfd
        popfd
        enter 0x10, 0
        leave
        push es
        pop es
        push cs
        push ss
        pop ss
        push ds
        pop ds
        # multiply, divide, shifts
        imul eax, ecx
        imul eax, ecx, 5
        imul eax, dword ptr [ebp + 8], 0x1000
        imul ax, cx, 0x1000
        mul ecx
        div dword ptr [ebp + 8]
        idiv byte ptr [eax]
        neg eax
        not byte ptr [0x1000]
        shl eax, 4
        shr dword ptr [ebp + 8], 1
        sar eax, cl
        rol word ptr [eax], 3
        inc eax
        dec ecx
        inc byte ptr [eax]
        dec dword ptr [ebp + 8]
        bswap eax
        # flags, strings, misc
        cld
        std
        clc
        stc
        cmc
        cli
        sti
        hlt
        nop
        lahf
        sahf
        cdq
        cwde
        cbw
        rep movsd
        rep stosb
        repne scasb
        lodsd
        movsb
        cmpsw
        lock xadd dword ptr [ecx], eax
        lock cmpxchg dword ptr [edx], ecx
        lock inc dword ptr [eax]
        xlatb
        in al, 0x60
        out 0x60, al
        in eax, dx
        out dx, al
        insb
        outsd
        aaa
        aas
        daa
        das
        aam
        aad
        .byte 0x90
        bound eax, qword ptr [ecx]
        arpl word ptr [eax], cx
        les eax, fword ptr [ecx]
        lds eax, fword ptr [ebp + 8]
        # x87
        fld dword ptr [ebp + 8]
        fld qword ptr [0x1000]
        fstp st(1)
        fadd st, st(2)
        fistp dword ptr [esp]
        fnstcw word ptr [esp]
        fldcw word ptr [esp]
        fninit
        fnstsw ax
        fwait                             # the listing would join it to a following x87 op
        nop
        # control transfer
        call sample_back
        jmp sample_back
        call eax
        call dword ptr [eax]
        call dword ptr [ebp + 8]
        jmp ecx
        jmp dword ptr [eax * 4 + 0x1000]
        call fword ptr [eax]
        jmp fword ptr [ecx]
        ret
        ret 8
        retf
        retf 4
        int3
        int 0x2E
        into
        iretd
        int1
        .byte 0xEB, 0x10
        .byte 0x74, 0xF0
        .byte 0x7F, 0x00
        .byte 0x0F, 0x84
        .long 0x100
        .byte 0x0F, 0x8C
        .long -0x100
        loop sample_back_near
sample_back_near:
        loope sample_back_near
        loopne sample_back_near
        jecxz sample_back_near
        .byte 0x9A
        .long 0x1000
        .word 0x23
        .byte 0xEA
        .long 0x1000
        .word 0x23
        # two-byte map
        cpuid
        rdtsc
        sysenter
        ud2
        cmovz eax, ecx
        cmovne eax, dword ptr [ebp + 8]
        setz al
        setne byte ptr [eax]
        bt eax, ecx
        bts dword ptr [eax], 3
        btr eax, 5
        shld eax, ecx, 4
        shrd eax, ecx, cl
        imul eax, dword ptr [ecx]
        cmpxchg8b qword ptr [esi]
        xadd eax, ecx
        bsf eax, ecx
        bsr eax, dword ptr [eax]
        popcnt eax, ecx
        lzcnt eax, ecx
        tzcnt eax, dword ptr [ecx]
        nop dword ptr [eax]
        nop dword ptr [eax + 0]
        nop dword ptr [eax + eax + 0]
        nop word ptr [eax + eax + 0]
        nop dword ptr [eax + 0x100]
        nop dword ptr [eax + eax + 0x100]
        prefetchnta byte ptr [eax]
        prefetchw byte ptr [ecx]
        sgdt [eax]
        lgdt [ecx]
        smsw ax
        invlpg byte ptr [eax]
        rdtscp
        xgetbv
        sldt ax
        ltr ax
        verr word ptr [eax]
        lar eax, ecx
        lsl eax, word ptr [ecx]
        clts
        wbinvd
        rdmsr
        wrmsr
        rdpmc
        mov eax, cr0
        mov cr3, eax
        mov eax, dr7
        push fs
        pop gs
        rsm
        emms
        femms
        # SSE
        movaps xmm0, xmm1
        movups xmm0, xmmword ptr [eax]
        movss xmm0, dword ptr [esp + 4]
        movsd xmm1, qword ptr [ebp - 8]
        movdqa xmm0, xmmword ptr [eax + 0x10]
        movdqu xmmword ptr [ecx], xmm2
        movd xmm0, eax
        movq mm0, qword ptr [eax]
        movq xmm0, xmm1
        pxor xmm0, xmm0
        paddd mm0, mm1
        pshufd xmm0, xmm1, 0x1B
        pshufw mm0, mm1, 0x1B
        psrlw xmm0, 3
        psrld mm1, 2
        psllq xmm2, 7
        cmpps xmm0, xmm1, 2
        shufps xmm0, xmm1, 0x44
        pinsrw xmm0, eax, 3
        pextrw eax, xmm1, 2
        cvtsi2sd xmm0, eax
        cvttss2si eax, xmm0
        sqrtps xmm0, xmm1
        addsd xmm0, qword ptr [0x1000]
        ucomiss xmm0, xmm1
        movmskps eax, xmm0
        ldmxcsr dword ptr [esp]
        lfence
        mfence
        sfence
        clflush byte ptr [eax]
        pause
        maskmovq mm0, mm1
        movnti dword ptr [eax], ecx
        pshufb xmm0, xmm1
        pshufb mm0, qword ptr [eax]
        pmulld xmm0, xmmword ptr [ecx + 4]
        ptest xmm0, xmm1
        crc32 eax, byte ptr [ecx]
        crc32 eax, ecx
        movbe eax, dword ptr [ecx]
        palignr xmm0, xmm1, 4
        palignr mm0, mm1, 4
        pextrd eax, xmm0, 1
        pinsrd xmm0, dword ptr [eax], 2
        roundps xmm0, xmm1, 1
        pcmpistri xmm0, xmm1, 0x0C
        aesenc xmm0, xmm1
        pclmulqdq xmm0, xmm1, 0
        extrq xmm0, 4, 8
        insertq xmm0, xmm1, 4, 8
        extrq xmm0, xmm1
        # AVX
        vzeroupper
        vmovaps ymm0, ymm1
        vmovdqu xmm0, xmmword ptr [eax]
        vaddps ymm0, ymm1, ymmword ptr [ecx + 0x20]
        vpxor xmm0, xmm1, xmm2
        vpshufb ymm0, ymm1, ymm2
        vpermd ymm0, ymm1, ymmword ptr [esp + 8]
        vpalignr ymm0, ymm1, ymm2, 3
        vblendps ymm0, ymm1, ymm2, 5
        vpermq ymm0, ymm1, 0x1B
        vbroadcastss ymm0, dword ptr [eax]
        vfmadd231ps ymm0, ymm1, ymm2
        vmovq xmm0, qword ptr [eax]
        vcvtsi2sd xmm0, xmm1, eax
        vextracti128 xmm0, ymm1, 1
        andn eax, ecx, edx
        bextr eax, ecx, edx
        shlx eax, ecx, edx
        rorx eax, ecx, 3
        pdep eax, ecx, dword ptr [edx]
        # AVX-512
        vmovaps zmm0, zmm1
        vaddps zmm0, zmm1, zmmword ptr [eax]
        vaddps zmm0, zmm1, dword ptr [eax + 0x40]{1to16}
        vpaddd zmm0{k1}{z}, zmm1, zmm2
        vpshufb zmm0, zmm1, zmm2
        vpalignr zmm0, zmm1, zmm2, 3
        vmovdqu32 zmm0, zmmword ptr [esp + 0x1000]
        kmovw k1, eax
        vcvtph2psx zmm0, ymm1
        vaddph zmm0, zmm1, zmm2
        # XOP
        vprotb xmm0, xmm1, 5
        vprotd xmm0, xmm1, xmm2
        vfrczps xmm0, xmm1
        vpcmov xmm0, xmm1, xmm2, xmm3
        vpermil2ps xmm0, xmm1, xmm2, xmm3, 0
        bextr eax, ecx, 0x1234
        blcfill eax, ecx
        # prefixes
        mov ax, word ptr es:[eax]
        addr16 mov eax, dword ptr [bx + si]
        addr16 mov eax, dword ptr [0x1234]
        lock add word ptr cs:[eax], 1
        rep lodsb
        xacquire lock add dword ptr [eax], 1
        .byte 0x3E, 0x74, 0x01
_InstructionSamplesEnd:
