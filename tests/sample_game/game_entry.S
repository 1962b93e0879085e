/* GameEntry of the sample game and of every other game stand-in of the
   tests: a real stdcall function at RVA 0x12A090. The section is linked at
   0x52A000 (image base 0x400000), and 0x90 bytes of filler put the function
   at 0x52A090. Its prologue is ordinary compiler-style code that a 5-byte
   jump can displace. */
        .section .gentry,"xr"
        .fill 0x90, 1, 0x90
        .globl _GameEntry@16
_GameEntry@16:
        pushl %ebp
        movl %esp, %ebp
        pushl 20(%ebp)
        pushl 16(%ebp)
        pushl 12(%ebp)
        pushl 8(%ebp)
        call _GameMain@16
        popl %ebp
        ret $16
