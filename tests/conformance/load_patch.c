/* Starts the patch inside a conformance program before its checks run, as
   the game starts it: when XP3PATCH_CONFORMANCE_DLL names the patch, the
   program loads it and calls its own GameEntry (at RVA 0x12A090, from
   tests/sample_game/game_entry.S), which the patch catches to mount its
   archives and redirect the file functions. Without the variable the
   program runs the same checks on the bare system, which is the reference
   the test script compares against. Runs as a constructor so that the
   checks' own main stays Wine's. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

DWORD WINAPI GameMain(DWORD a, DWORD b, DWORD c, DWORD d) { return a + b + c + d; }

typedef DWORD(WINAPI* EntryFunction)(DWORD, DWORD, DWORD, DWORD);

__attribute__((constructor)) static void StartPatch(void) {
  wchar_t dll[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"XP3PATCH_CONFORMANCE_DLL", dll, MAX_PATH);
  if (length == 0) return;
  if (length >= MAX_PATH) {
    fprintf(stderr, "conformance: XP3PATCH_CONFORMANCE_DLL is too long\n");
    exit(3);
  }
  if (!LoadLibraryW(dll)) {
    fprintf(stderr, "conformance: cannot load the patch: error %lu\n", GetLastError());
    exit(3);
  }
  EntryFunction entry = (EntryFunction)((char*)GetModuleHandleW(NULL) + 0x12A090);
  if (entry(1, 2, 3, 4) != 10) {
    fprintf(stderr, "conformance: GameEntry did not return what the game's does\n");
    exit(3);
  }
  /* The script checks for this line: a run that says nothing of the patch
     would compare the bare system with itself. */
  fprintf(stderr, "conformance: patch started\n");
}
