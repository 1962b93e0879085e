// The file hooks: each hook-table slot paired with its replacement, in the
// order start-up attaches them and detach removes them (the thirteen file
// functions first, then the handle functions). The list is built on every
// call from the process-wide hook table; it owns nothing.
#pragma once

#include <windows.h>

#include <array>

struct FileHook {
  PVOID* slot;
  PVOID replacement;
};

inline constexpr size_t kFileHookCount = 29;

std::array<FileHook, kFileHookCount> FileHooks();

// The name of the function a hook-table slot reaches ("ReadFile",
// "GameEntry", ...), for messages about hook transactions; null for a null
// slot, "an unknown function" for a slot that is not in the table.
const char* HookSlotName(PVOID* slot);
