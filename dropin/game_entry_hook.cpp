#include "dropin/game_entry_hook.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

// Used by entry_stub.S: where the game's entry point is, for the final jump.
extern "C" {
void* g_game_entry = nullptr;
void LoaderEntryStub();
}

namespace {

constexpr size_t kJumpBytes = 5;  // E9 and a 32-bit displacement
unsigned char g_saved[kJumpBytes];
void (*g_before_game)() = nullptr;

bool WriteCode(void* at, const void* bytes, size_t size) {
  DWORD old_protection = 0;
  if (!VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &old_protection)) return false;
  std::memcpy(at, bytes, size);
  DWORD ignored = 0;
  VirtualProtect(at, size, old_protection, &ignored);
  FlushInstructionCache(GetCurrentProcess(), at, size);
  return true;
}

void* ExecutableEntryPoint() {
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
  if (base == nullptr) return nullptr;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.AddressOfEntryPoint == 0) {
    return nullptr;
  }
  return base + nt->OptionalHeader.AddressOfEntryPoint;
}

}  // namespace

// Called by LoaderEntryStub, on the main thread, before the game's entry
// point: the game's bytes go back first, so that whatever `before_game`
// does, the entry point is the game's own again.
extern "C" void GameEntryReached() {
  WriteCode(g_game_entry, g_saved, kJumpBytes);
  if (g_before_game != nullptr) g_before_game();
}

bool RunBeforeGameEntry(void (*before_game)()) {
  void* entry = ExecutableEntryPoint();
  if (entry == nullptr) return false;
  std::memcpy(g_saved, entry, kJumpBytes);
  g_game_entry = entry;
  g_before_game = before_game;
  unsigned char jump[kJumpBytes] = {0xE9};
  const auto from = reinterpret_cast<std::uintptr_t>(entry) + kJumpBytes;
  const auto displacement =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&LoaderEntryStub) - from);
  std::memcpy(jump + 1, &displacement, sizeof displacement);
  return WriteCode(entry, jump, kJumpBytes);
}
