// The file hooks: each hook-table slot paired with its replacement and the
// name of the function, in the order start-up attaches them and detach
// removes them (the thirteen file functions first, then the handle
// functions, then the other forms of the path functions). The list is built
// on every call from the hook table; it owns nothing.
//
// Where the system keeps a function in kernelbase, the slot holds
// kernelbase's export, found by name: the system's own libraries call it
// there, and kernel32's export in front of it only forwards. kernel32's
// bytes are then never rewritten. The name lookup, not a guess from the
// bytes of kernel32's export, decides where a hook goes; the byte patterns
// of the hooking engine remain for what has no such export.
#pragma once

#include <windows.h>

#include <array>

struct HookTable;

struct FileHook {
  const char* name;
  PVOID* slot;
  PVOID replacement;
  // The library that exports the function when it is not the kernel's
  // (kernelbase, else kernel32): gdi32 for the font functions.
  const wchar_t* library = nullptr;
};

inline constexpr size_t kFileHookCount = 53;

std::array<FileHook, kFileHookCount> FileHooks(HookTable& table);
std::array<FileHook, kFileHookCount> FileHooks();

// Whether the system has the hook's function at all (CreateFile2 needs
// Windows 8): a hook of a missing function is never attached or detached.
inline bool IsPresent(const FileHook& hook) { return *hook.slot != nullptr; }

// The address the system keeps `name` at: kernelbase's export when
// kernelbase has one, otherwise kernel32's; null when neither has it.
PVOID SystemFunctionAddress(const char* name);
// The address of the hook's function: SystemFunctionAddress for the
// kernel's, else the export of the hook's library found by name, which is
// where the function lives even when that library only forwards it (gdi32
// to gdi32full on Windows 10; the loader resolves a forwarder RVA of the
// export table to the target's export, "PE Format", Microsoft Learn); null
// when it has none.
PVOID SystemFunctionAddress(const FileHook& hook);

// Points every file slot and the exception-filter slot of `table` at the
// system's own function (SystemFunctionAddress), where it has one. Called
// once, when the table is built.
void UseSystemFunctionAddresses(HookTable& table);

// The name of the function a hook-table slot reaches ("ReadFile",
// "GameEntry", ...), for messages about hook transactions; null for a null
// slot, "an unknown function" for a slot that is not in the table.
const char* HookSlotName(PVOID* slot);
