// The file hooks attached in this process as start-up attaches them: each
// system function, called as any caller in the process calls it, reaches
// its replacement for an overlaid file, and the system again once the hooks
// are detached.
#include "startup/file_hooks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

#include "hooking/hook_transaction.h"
#include "startup/process_attach.h"
#include "startup/hook_table.h"
#include "startup/process_globals.h"
#include "tools/xp3/xp3_writer.h"

namespace {

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                               static_cast<int>(w.size())));
  return w;
}

bool AttachAll(bool attach) {
  return RunHookTransaction(attach ? "file hooks" : "detach", [attach] {
    for (const FileHook& hook : FileHooks()) {
      if (!IsPresent(hook)) continue;
      attach ? HookAttach(hook.slot, hook.replacement) : HookDetach(hook.slot, hook.replacement);
    }
  });
}

TEST(FileHooksTest, EverySlotIsNamedOnce) {
  std::set<std::string> names;
  std::set<PVOID*> slots;
  for (const FileHook& hook : FileHooks()) {
    const std::string name = HookSlotName(hook.slot);
    EXPECT_NE(name, "an unknown function");
    names.insert(name);
    slots.insert(hook.slot);
  }
  EXPECT_EQ(names.size(), kFileHookCount);
  EXPECT_EQ(slots.size(), kFileHookCount);
}

// Where each hook goes: kernelbase's export, found by name, wherever
// kernelbase has the function (the system's own libraries call it there),
// and kernel32's bytes then untouched. A function found in neither library
// is accounted for only when it is one the system may lack; anything else
// fails here instead of being skipped.
TEST(FileHooksTest, EveryHookGoesWhereTheSystemKeepsItsFunction) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
  ASSERT_NE(kernel32, nullptr);
  HookTable table;  // as start-up builds it, no hook attached
  int in_kernelbase = 0;
  for (const FileHook& hook : FileHooks(table)) {
    SCOPED_TRACE(hook.name);
    if (hook.library != nullptr) {
      // A library of its own (gdi32's font functions): its export, found by
      // name, wherever that export leads (gdi32 forwards to gdi32full on
      // Windows 10), and never a function of the kernel's.
      HMODULE library = GetModuleHandleW(hook.library);
      ASSERT_NE(library, nullptr);
      PVOID address = reinterpret_cast<PVOID>(GetProcAddress(library, hook.name));
      ASSERT_NE(address, nullptr);
      EXPECT_EQ(*hook.slot, address);
      EXPECT_EQ(GetProcAddress(kernel32, hook.name), nullptr);
      continue;
    }
    PVOID base_export = kernelbase != nullptr
                            ? reinterpret_cast<PVOID>(GetProcAddress(kernelbase, hook.name))
                            : nullptr;
    PVOID kernel_export = reinterpret_cast<PVOID>(GetProcAddress(kernel32, hook.name));
    if (base_export != nullptr) {
      EXPECT_EQ(*hook.slot, base_export);
      // The engine rewrites that very code, not something it leads to.
      EXPECT_EQ(ResolveCodeAddress(*hook.slot, nullptr), base_export);
      ++in_kernelbase;
    } else if (kernel_export != nullptr) {
      EXPECT_EQ(*hook.slot, kernel_export);
      // Without a kernelbase export, kernel32's is the code itself: an
      // entry that only jumps on would be a stub nobody accounted for.
      const auto* bytes = static_cast<const uint8_t*>(kernel_export);
      EXPECT_FALSE(bytes[0] == 0xFF && bytes[1] == 0x25) << "an import jump";
      EXPECT_NE(bytes[0], 0xE9) << "a jump";
      EXPECT_NE(bytes[0], 0xEB) << "a short jump";
    } else {
      EXPECT_TRUE(std::string(hook.name) == "CreateFile2" || std::string(hook.name) == "CopyFile2")
          << "only CreateFile2 and CopyFile2 may be missing (Windows 7)";
      EXPECT_FALSE(IsPresent(hook));
    }
  }
  if (kernelbase != nullptr) {
    EXPECT_GT(in_kernelbase, 0);
  }
  PVOID filter =
      kernelbase != nullptr
          ? reinterpret_cast<PVOID>(GetProcAddress(kernelbase, "SetUnhandledExceptionFilter"))
          : nullptr;
  if (filter != nullptr) {
    EXPECT_EQ(*SlotOf(table.SetUnhandledExceptionFilter), filter);
  }
}

TEST(FileHooksTest, SystemFunctionsReachTheReplacementsWhileAttached) {
  const std::string prefix = "file-hooks-test-" + std::to_string(GetCurrentProcessId());
  const std::string archive = TheOverlay().BaseDirectory() + "\\" + prefix + ".xp3";
  {
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    ASSERT_TRUE(writer.Open(archive, &error)) << error;
    ASSERT_TRUE(writer.AddEntry(prefix + "/a.txt", "hooked bytes", 12, &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
  }
  ASSERT_TRUE(TheOverlay().Mount(archive));
  const std::wstring path = Wide(TheOverlay().BaseDirectory() + "\\" + prefix + "\\a.txt");

  ASSERT_TRUE(AttachAll(true));
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool own = TheOverlay().IsOwnHandle(h);
  char buffer[32] = {};
  DWORD got = 0;
  OVERLAPPED at = {};
  at.Offset = 7;
  const BOOL read = ReadFile(h, buffer, sizeof buffer, &got, &at);
  BY_HANDLE_FILE_INFORMATION information = {};
  const BOOL informed = GetFileInformationByHandle(h, &information);
  FILE_STANDARD_INFO standard = {};
  const BOOL standard_informed =
      GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard);
  FILETIME time = {};
  const BOOL timed = GetFileTime(h, nullptr, nullptr, &time);
  WCHAR final_path[600] = {};
  const DWORD final_length = GetFinalPathNameByHandleW(h, final_path, 600, VOLUME_NAME_NONE);
  char final_narrow[600] = {};
  const DWORD narrow_length = GetFinalPathNameByHandleA(h, final_narrow, 600, VOLUME_NAME_NONE);
  HANDLE duplicate = nullptr;
  const BOOL duplicated = DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &duplicate,
                                          0, FALSE, DUPLICATE_SAME_ACCESS);
  const bool duplicate_own = TheOverlay().IsOwnHandle(duplicate);
  HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
  HANDLE mapping_a = CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
  std::string mapped;
  if (mapping != nullptr) {
    const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view != nullptr) mapped.assign(view, 12);
    UnmapViewOfFile(view);
  }
  OVERLAPPED ex = {};
  char ex_buffer[4];
  const BOOL read_ex = ReadFileEx(h, ex_buffer, 4, &ex, nullptr);
  DWORD written = 0;
  OVERLAPPED write_at = {};
  FILE_BASIC_INFO basic = {};
  const DWORD refusals[] = {
      WriteFile(h, "x", 1, &written, nullptr) ? 0 : GetLastError(),
      WriteFileEx(h, "x", 1, &write_at, nullptr) ? 0 : GetLastError(),
      SetEndOfFile(h) ? 0 : GetLastError(),
      FlushFileBuffers(h) ? 0 : GetLastError(),
      SetFileTime(h, &time, &time, &time) ? 0 : GetLastError(),
      SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) ? 0 : GetLastError(),
  };
  if (mapping != nullptr) CloseHandle(mapping);
  if (mapping_a != nullptr) CloseHandle(mapping_a);
  const BOOL closed = CloseHandle(h);
  const BOOL duplicate_closed = CloseHandle(duplicate);
  ASSERT_TRUE(AttachAll(false));

  EXPECT_TRUE(own);
  EXPECT_TRUE(read);
  EXPECT_EQ(std::string(buffer, got), "bytes") << "read at the offset";
  EXPECT_TRUE(informed);
  EXPECT_EQ(information.nFileSizeLow, 12u);
  EXPECT_TRUE(standard_informed);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 12);
  EXPECT_TRUE(timed);
  EXPECT_GT(final_length, 0u);
  EXPECT_NE(std::wstring(final_path).find(Wide(prefix) + L"\\a.txt"), std::wstring::npos);
  EXPECT_EQ(narrow_length, final_length);
  EXPECT_TRUE(duplicated);
  EXPECT_TRUE(duplicate_own);
  EXPECT_EQ(mapped, "hooked bytes");
  EXPECT_NE(mapping_a, nullptr);
  EXPECT_TRUE(read_ex);
  for (DWORD refusal : refusals) EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(duplicate_closed);
  EXPECT_EQ(TheOverlay().OpenHandleCount(), 0u);

  // Detached: the system answers alone, and the path does not exist on disk.
  EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

}  // namespace
