// Runs one function of the loader on the game's main thread after every DLL
// of the game has been initialised and before the first instruction of the
// game executable's entry point, outside the loader lock.
//
// Why this way: the patch must be loaded before any of the game's code runs,
// but a loader's DllMain runs under the loader lock, and Microsoft's
// "Dynamic-Link Library Best Practices" forbids calling LoadLibrary there
// (it can deadlock or run code whose dependencies are not initialised yet).
// What DllMain may do is call kernel32 functions other than those the page
// lists, and VirtualProtect and FlushInstructionCache are such functions. So
// DllMain only rewrites the first five bytes of the executable's entry point
// (AddressOfEntryPoint of its PE optional header) into a jump to a stub of
// the loader. The system calls that entry point once every statically
// imported DLL's DllMain has returned and the loader lock is released (the
// DllMain documentation: DLL_PROCESS_ATTACH of the DLLs a program imports
// runs during process start-up, before the program's own code). The stub
// puts the five bytes back, runs the loader's function, and jumps to the
// entry point with every register as the system left it: the game's code
// then runs unchanged, as if nothing had been in its way. No thread of the
// game exists yet that could run the entry point meanwhile.
//
// A launcher that queues the patch's load as an asynchronous call on the
// suspended main thread gets it run during the same start-up, before the
// entry point too; the loader's function then finds the patch loaded.
#pragma once

// Arms the entry point so that `before_game` runs first. False (and nothing
// changed) when the executable has no entry point or its code cannot be
// made writable. Call once, from DllMain's process attach.
bool RunBeforeGameEntry(void (*before_game)());
