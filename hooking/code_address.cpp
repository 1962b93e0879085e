// ResolveCodeAddress: finds the code a function pointer really reaches, so
// that an attach rewrites the function and not an import stub or a patch
// jump in front of it.

#include <cstring>

#include "hooking/hook_transaction.h"
#include "platform/readable_memory.h"

namespace {

// True when [p, p + n) is committed, readable memory; header and code reads
// go through this instead of risking a fault on a stray pointer.
bool Readable(const void* p, size_t n) { return IsReadableMemory(p, n); }

uint32_t Read32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

// True when `address` lies in the import address table of the module that
// contains `code`.
bool InImportTable(const uint8_t* code, uintptr_t address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(code, &info, sizeof info) == 0 || info.AllocationBase == nullptr) return false;
  const auto* base = static_cast<const uint8_t*>(info.AllocationBase);
  if (!Readable(base, sizeof(IMAGE_DOS_HEADER))) return false;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return false;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  if (!Readable(nt, sizeof *nt) || nt->Signature != IMAGE_NT_SIGNATURE) return false;
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IAT) return false;
  const IMAGE_DATA_DIRECTORY& iat = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  const uintptr_t start = reinterpret_cast<uintptr_t>(base) + iat.VirtualAddress;
  return address >= start && address < start + iat.Size;
}

// A forwarding stub that opens with a hot-patch prologue and undoes it at
// once (`mov edi, edi; push ebp; mov ebp, esp; pop ebp`) before its jump
// through the import table. kernel32 exports the file functions this way on
// Wine and on older Windows; the function that does the work, and that the
// system's own libraries call directly, is the one behind the jump.
constexpr uint8_t kHotPatchStubPrologue[] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D};

// Code that begins `FF 25` through an import-table cell, bare or behind the
// prologue above: the cell's pointer.
bool FollowImportJump(const uint8_t*& code) {
  const uint8_t* jump = code;
  if (Readable(code, sizeof kHotPatchStubPrologue + 6) &&
      std::memcmp(code, kHotPatchStubPrologue, sizeof kHotPatchStubPrologue) == 0) {
    jump = code + sizeof kHotPatchStubPrologue;
  }
  if (!Readable(jump, 6) || jump[0] != 0xFF || jump[1] != 0x25) return false;
  const uintptr_t cell = Read32(jump + 2);
  if (!InImportTable(jump, cell) || !Readable(reinterpret_cast<const void*>(cell), 4)) return false;
  code = reinterpret_cast<const uint8_t*>(Read32(reinterpret_cast<const uint8_t*>(cell)));
  return true;
}

}  // namespace

PVOID ResolveCodeAddress(PVOID pointer, PVOID* out_globals) {
  if (out_globals != nullptr) *out_globals = nullptr;
  if (pointer == nullptr) return nullptr;
  const auto* code = static_cast<const uint8_t*>(pointer);
  // A module's own import thunk leads to the exporting module's entry, which
  // may itself only forward (kernel32's file functions into kernelbase):
  // follow the chain to the function that does the work. The bound keeps a
  // cycle of cells from looping for ever.
  for (int hop = 0; hop < 4 && FollowImportJump(code); ++hop) {
  }
  // Every byte of a jump chain is checked before it is read: a pointer into
  // a stray place gives itself back instead of a fault.
  if (Readable(code, 2) && code[0] == 0xEB &&
      Readable(code + 2 + static_cast<int8_t>(code[1]), 2)) {
    const uint8_t* destination = code + 2 + static_cast<int8_t>(code[1]);
    code = destination;
    bool followed = false;
    for (int hop = 0; hop < 4 && FollowImportJump(code); ++hop) followed = true;
    if (!followed && Readable(destination, 5) && destination[0] == 0xE9) {
      const uint8_t* jump_end = destination + 5 + static_cast<int32_t>(Read32(destination + 1));
      // A jump onto an indirect jump right through the next page is a
      // patch stub of the module itself; keep the jump.
      const bool stub = Readable(jump_end, 6) && jump_end[0] == 0xFF && jump_end[1] == 0x25 &&
                        Read32(jump_end + 2) == reinterpret_cast<uintptr_t>(jump_end) + 0x1000;
      if (!stub && Readable(jump_end, 1)) code = jump_end;
    }
  }
  return const_cast<uint8_t*>(code);
}
