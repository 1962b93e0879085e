#include "startup/process_attach.h"

#include <atomic>

#include "crash/crash_client.h"
#include "crash/log_message.h"
#include "crash/pipe_name.h"
#include "hooking/hook_transaction.h"
#include "hooking/other_threads.h"
#include "startup/file_hooks.h"
#include "startup/patch_archives.h"
#include "startup/process_globals.h"
#include "startup/startup_log.h"

namespace {

HMODULE g_module = nullptr;

// Which hooks are live, so that detach removes exactly those: a transaction
// that names a hook that is not attached is discarded whole by the engine.
std::atomic<bool> g_filter_hooked{false};
std::atomic<bool> g_game_entry_hooked{false};
std::atomic<bool> g_file_hooks_live{false};
// A failed registration whose box is still to be shown.
std::atomic<bool> g_registration_failed{false};

// GameEntry may be called more than once; start-up runs on the first call
// only, so archives are never mounted twice and no hook is attached over a
// live trampoline. Other threads entering meanwhile wait for it to finish.
INIT_ONCE g_startup_once = INIT_ONCE_STATIC_INIT;

PVOID FilterReplacement() { return reinterpret_cast<PVOID>(&HookedSetUnhandledExceptionFilter); }
PVOID GameEntryReplacement() { return reinterpret_cast<PVOID>(&HookedGameEntry); }

// The name of a hook-table slot, for the log.
// True when `address` lies in executable code of the process's executable:
// only then may its bytes be rewritten. A host program without the game's
// function at that offset (a launcher, a tool) is left alone.
bool IsExecutableCodeOfMainModule(BYTE* address) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) return false;
  if (info.Type != MEM_IMAGE || info.AllocationBase != base) return false;
  const DWORD executable =
      PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if ((info.Protect & executable) == 0) return false;
  return address + 5 <= static_cast<BYTE*>(info.BaseAddress) + info.RegionSize;
}

// Keeps this DLL mapped until the process ends, and logs it.
void PinSelf() {
  HMODULE self = nullptr;
  const bool pinned =
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&PinSelf), &self) != FALSE;
  const DWORD error = pinned ? NO_ERROR : GetLastError();
  if (!pinned) {
    logging::Win32ErrorLogMessage(__FILE__, __LINE__, logging::kError, error).stream()
        << "the patch could not keep itself loaded";
  }
  LogPinned(error);
}

BOOL CALLBACK RunStartupOnce(PINIT_ONCE, PVOID module, PVOID*) {
  StartupLogEntryReached();
  MountPatchArchives(static_cast<HMODULE>(module), TheOverlay());
  g_file_hooks_live = RunHookTransaction("file hooks", [] {
    for (const FileHook& hook : FileHooks()) {
      if (IsPresent(hook)) HookAttach(hook.slot, hook.replacement);
    }
  });
  return TRUE;
}

}  // namespace

bool RunHookTransaction(const char* stage, const std::function<void()>& queue) {
  // Listing and opening the threads allocates; it happens before anything
  // is suspended (the commit suspends).
  hooking::OtherThreads threads;
  const DWORD list_error = threads.Open();
  if (list_error != 0) {
    logging::Win32ErrorLogMessage(__FILE__, __LINE__, logging::kError, list_error).stream()
        << "hook transaction of " << stage << ": the other threads could not be listed";
  }
  HookTransactionBegin();
  HookEnlistThread(GetCurrentThread());
  threads.EnlistAll();
  queue();
  PVOID* failed_slot = nullptr;
  const DWORD error = HookCommitWithFailedSlot(&failed_slot);
  if (error != NO_ERROR) {
    const char* name = HookSlotName(failed_slot);
    logging::Win32ErrorLogMessage(__FILE__, __LINE__, logging::kError, error).stream()
        << "hook transaction of " << stage << " failed at slot "
        << (name != nullptr ? name : "none");
  }
  LogHookTransaction(stage, error, failed_slot);
  return error == NO_ERROR;
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
HookedSetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER) {
  // The filter in force stays the one installed before the hook (the crash
  // client's, when it registered); every caller is told there was none.
  return nullptr;
}

DWORD WINAPI HookedGameEntry(DWORD a, DWORD b, DWORD c, DWORD d) {
  HookTable::GameEntryFunction real = TheHookTable().GameEntry;
  if (real == nullptr) return 0;
  ShowDeferredMessages();
  DeferredStartup(g_module);
  return real(a, b, c, d);
}

void DeferredStartup(HMODULE module) {
  InitOnceExecuteOnce(&g_startup_once, &RunStartupOnce, module, nullptr);
}

void ProcessAttach(HMODULE module) {
  StartupLogAttach(module);
  // A name the client refuses (too long, not a local pipe) fails like an
  // unreachable handler: logged, the box, and the game goes on. The box is
  // shown later, outside the loader lock (see ShowDeferredMessages).
  std::wstring pipe_name;
  bool registered = false;
  if (ReadAnnouncedPipeName(&pipe_name)) {
    registered = TheCrashClient().ConnectToHandler(pipe_name);
    if (!registered) {
      g_registration_failed = true;
      LogRegistrationBoxDeferred();
    }
  }

  HookTable& table = TheHookTable();
  g_module = module;
  auto* entry = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + kGameEntryOffset;
  const bool has_game_entry = IsExecutableCodeOfMainModule(entry);
  if (has_game_entry) table.GameEntry = reinterpret_cast<HookTable::GameEntryFunction>(entry);
  if (RunHookTransaction("attach", [&] {
        HookAttach(SlotOf(table.SetUnhandledExceptionFilter), FilterReplacement());
        if (has_game_entry) HookAttach(SlotOf(table.GameEntry), GameEntryReplacement());
      })) {
    g_filter_hooked = true;
    g_game_entry_hooked = has_game_entry;
    if (has_game_entry) StartupLogWatchEntry();
  }
  // From here on code of the process may lead into this DLL: the hooks' jumps,
  // and the crash client's exception filter, which nothing can take out again
  // once the filter hook blocks SetUnhandledExceptionFilter. FreeLibrary
  // unmaps a DLL as soon as its entry point returns from
  // DLL_PROCESS_DETACH ("FreeLibrary function", Microsoft Learn), too late
  // to keep it then, and a game thread may be inside a replacement at that
  // moment. So the DLL pins itself now: a later FreeLibrary only lowers the
  // count, and the patch serves until the process ends.
  if (g_filter_hooked || registered) PinSelf();
}

void ShowDeferredMessages() {
  // MessageBoxW loads and uses User32, which Microsoft's "Dynamic-Link
  // Library Best Practices" rule out under the loader lock that DllMain
  // runs in; the game's own thread shows it instead, once.
  if (g_registration_failed.exchange(false)) {
    LogRegistrationBoxShown();
    MessageBoxW(nullptr, L"无法连接到 Crashpad Handler。", L"信息", MB_ICONINFORMATION);
  }
}

bool ProcessDetach() {
  HookTable& table = TheHookTable();
  const bool removed = RunHookTransaction("detach", [&] {
    if (g_file_hooks_live) {
      for (const FileHook& hook : FileHooks()) {
        if (IsPresent(hook)) HookDetach(hook.slot, hook.replacement);
      }
    }
    if (g_filter_hooked) HookDetach(SlotOf(table.SetUnhandledExceptionFilter), FilterReplacement());
    // The game may go on calling GameEntry after an unload; it must reach the
    // game's own code, not a jump into freed memory.
    if (g_game_entry_hooked) HookDetach(SlotOf(table.GameEntry), GameEntryReplacement());
  });
  if (removed) {
    g_file_hooks_live = false;
    g_filter_hooked = false;
    g_game_entry_hooked = false;
  }
  return removed;
}

void StayLoadedAfterFailedDetach() {
  // A pinned DLL gets no detach before the process ends, so this is reached
  // only when the pin itself failed at attach: too late now to keep the DLL
  // mapped (see ProcessAttach). It is logged for the team.
  logging::LogMessage(__FILE__, __LINE__, logging::kError).stream()
      << "the hooks could not be removed and the patch was not kept loaded";
  LogStayingLoaded(ERROR_INVALID_STATE);
}
