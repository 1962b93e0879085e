// The system's own copy of the library a loader stands in for, and the
// table through which every export of the loader passes its call on to it.
//
// Each export of the loader is a jump through one slot of that table
// (forward_stubs.S, generated from exports/NAME.txt). A slot first leads to
// a resolver, which loads the system's copy when it is not loaded yet, looks
// the function up (by name, or by ordinal for an export without a name),
// stores its address in the slot and jumps there with the caller's stack
// and registers as they were; later calls jump straight to the system's
// function. So a forwarded call costs one indirect jump.
//
// The system's copy is loaded by its full path in the system directory,
// never by its bare name: a bare name would find this very loader in the
// game folder. The table and the loaded library live until the process ends.
#pragma once

#include <windows.h>

// The file name of the library this loader stands in for ("version.dll").
const wchar_t* SystemLibraryName();

// Loads the system's copy, once; null when it cannot be loaded (the error
// is then in GetLastError).
HMODULE SystemLibrary();

// Resolves every slot the system's copy can serve, so that no later call
// has to load anything. Run before the game's code starts, outside the
// loader lock; exports that the system's copy lacks stay with the resolver,
// which ends the process with a message if one is ever called.
void ResolveAllForwards();
