// The slots through which the patch reaches the real functions it redirects.
//
// Each slot starts out holding the address of the imported function it names.
// Attaching a hook rewrites the slot to a trampoline that runs the real
// function, so a replacement that passes a call on always calls through its
// slot. The table is one process-wide object (see process_globals.h); it owns
// nothing.
#pragma once

#include <windows.h>

#include "overlay/overlay_host.h"

struct HookTable {
  using GameEntryFunction = DWORD(WINAPI*)(DWORD, DWORD, DWORD, DWORD);

  // Fills every slot with the address of the imported function; GameEntry
  // stays null until start-up sets it.
  HookTable();

  decltype(&::CreateFontA) CreateFontA;
  decltype(&::CreateFontW) CreateFontW;
  // The file slots, which the replacement functions call through (the
  // overlay reaches them as its host's real functions).
  RealFileFunctions file;
  decltype(&::MessageBoxW) MessageBoxW;
  decltype(&::SetUnhandledExceptionFilter) SetUnhandledExceptionFilter;
  GameEntryFunction GameEntry = nullptr;
};

// The slot as the hooking engine sees it: the address of a pointer variable.
template <typename Function>
PVOID* SlotOf(Function& slot) {
  return reinterpret_cast<PVOID*>(&slot);
}
