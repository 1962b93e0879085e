#include "bench/bench_support.h"

#include <cstdio>

#include "hooking/hook_transaction.h"
#include "startup/file_hooks.h"

namespace bench {
namespace {

bool RunTransaction(bool attach) {
  DWORD error = HookTransactionBegin();
  if (error == NO_ERROR) error = HookEnlistThread(GetCurrentThread());
  for (const FileHook& hook : FileHooks()) {
    if (error != NO_ERROR) break;
    if (!IsPresent(hook)) continue;
    error =
        attach ? HookAttach(hook.slot, hook.replacement) : HookDetach(hook.slot, hook.replacement);
  }
  if (error != NO_ERROR) {
    HookTransactionCancel();
  } else {
    error = HookTransactionCommit();
  }
  if (error != NO_ERROR) {
    std::printf("hook transaction (%s) failed: error %lu\n", attach ? "attach" : "detach",
                static_cast<unsigned long>(error));
    return false;
  }
  return true;
}

}  // namespace

bool AttachFileHooks() { return RunTransaction(true); }
bool DetachFileHooks() { return RunTransaction(false); }

std::wstring Wide(const std::string& utf8) {
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                  wide.data(), static_cast<int>(wide.size())));
  return wide;
}

uint64_t PackArchive(const std::string& path, const std::vector<PackEntry>& entries,
                     const Xp3WriterOptions& options) {
  Xp3Writer writer(options);
  std::string error;
  bool ok = writer.Open(path, &error);
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    ok = writer.AddEntry(entries[i].name, entries[i].data->data(), entries[i].data->size(), &error);
  }
  if (ok) ok = writer.Finish(&error);
  if (!ok) {
    std::printf("packing %s failed: %s\n", path.c_str(), error.c_str());
    return 0;
  }
  return FileSizeOf(path);
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) {
  FILE* file = _wfopen(Wide(path).c_str(), L"wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

uint64_t FileSizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint64_t PrivateBytes() {
  // Committed private memory, summed over the address space: the process
  // counters' PrivateUsage reads 0 under Wine.
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  const unsigned char* address = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const unsigned char* next =
        static_cast<const unsigned char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

}  // namespace bench
