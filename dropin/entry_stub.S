/* The stub the game's entry point jumps to while it is armed
   (game_entry_hook.h): it keeps every register and the flags as the system
   set them for the entry point, runs the loader's work on a 16-byte aligned
   stack, and goes on to the entry point, whose own bytes are back by then. */
        .text
        .globl _LoaderEntryStub
_LoaderEntryStub:
        pushal
        pushfl
        cld
        movl %esp, %ebp
        andl $-16, %esp
        call _GameEntryReached
        movl %ebp, %esp
        popfl
        popal
        jmp *_g_game_entry
