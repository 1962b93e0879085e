#include "overlay/font_copies.h"

#include <cwchar>
#include <memory>

#include "overlay/overlaid_source.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/srw_guard.h"

namespace {

constexpr DWORD kChunkSize = 64 * 1024;

// The last component of a path: the copy keeps the font file's own name.
std::wstring BaseName(LPCWSTR path) {
  const WCHAR* base = path;
  for (const WCHAR* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') base = p + 1;
  }
  return base;
}

// Whether process `id` has ended (a process that cannot be asked because it
// belongs to someone else counts as running).
bool ProcessEnded(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// Deletes a copy's folder with what is in it; what the system still holds
// stays.
void DeleteFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW record;
  HANDLE find = RealFunctions().FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic,
                                                 &record, FindExSearchNameMatch, nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW((folder + L"\\" + record.cFileName).c_str());
      }
    } while (RealFunctions().FindNextFileW(find, &record));
    RealFunctions().FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

FontCopies::FontCopies(std::wstring root) : root_(std::move(root)) {}

int FontCopies::Add(const char* function, LPCWSTR path, const SystemCall& add, bool* overlaid) {
  *overlaid = false;
  std::string key;
  if (path == nullptr || !MakePathKey(path, HostRegistry().BaseDirectory(), &key)) return 0;
  SrwGuard guard(&lock_, SrwGuard::kExclusive);
  auto found = copies_.find(key);
  if (found == copies_.end()) {
    OverlaidSource source;
    switch (source.Open(function, path)) {
      case OverlaidSource::Opened::kNotOverlaid:
        return 0;
      case OverlaidSource::Opened::kFailed:
        *overlaid = true;
        return 0;
      case OverlaidSource::Opened::kOpen:
        break;
    }
    *overlaid = true;
    Copy copy;
    if (!MakeCopy(source, path, &copy)) return 0;
    found = copies_.emplace(key, std::move(copy)).first;
  }
  *overlaid = true;
  const int added = add(found->second.file.c_str());
  if (added != 0) {
    ++found->second.adds;
  } else if (found->second.adds == 0) {
    const DWORD error = GetLastError();
    DeleteCopy(found->second);
    copies_.erase(found);
    SetLastError(error);
  }
  return added;
}

int FontCopies::Remove(LPCWSTR path, const SystemCall& remove, bool* overlaid) {
  *overlaid = false;
  std::string key;
  if (path == nullptr || !MakePathKey(path, HostRegistry().BaseDirectory(), &key)) return 0;
  SrwGuard guard(&lock_, SrwGuard::kExclusive);
  auto found = copies_.find(key);
  if (found == copies_.end()) return 0;
  *overlaid = true;
  const int removed = remove(found->second.file.c_str());
  if (removed != 0 && --found->second.adds == 0) {
    const DWORD error = GetLastError();
    DeleteCopy(found->second);
    copies_.erase(found);
    SetLastError(error);
  }
  return removed;
}

size_t FontCopies::CopyCount() const {
  SrwGuard guard(&lock_, SrwGuard::kShared);
  return copies_.size();
}

bool FontCopies::MakeCopy(OverlaidSource& source, LPCWSTR path, Copy* copy) {
  if (!swept_) {
    swept_ = true;
    SweepLeftovers();
  }
  CreateDirectoryW(root_.c_str(), nullptr);
  // A folder per copy, named after this process, so that the copy keeps the
  // font file's name and the sweep knows whose it is.
  copy->folder = root_ + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"." +
                 std::to_wstring(next_folder_++);
  if (!CreateDirectoryW(copy->folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  copy->file = copy->folder + L"\\" + BaseName(path);
  HANDLE out = RealFunctions().CreateFileW(copy->file.c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    RemoveDirectoryW(copy->folder.c_str());
    SetLastError(error);
    return false;
  }
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize]);
  DWORD error = 0;
  for (;;) {
    DWORD got = 0;
    if (!source.Read(buffer.get(), kChunkSize, &got)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!RealFunctions().WriteFile(out, buffer.get(), got, &written, nullptr)) {
      error = GetLastError();
      break;
    }
  }
  RealFunctions().CloseHandle(out);
  if (error != 0) {
    DeleteCopy(*copy);
    SetLastError(error);
    return false;
  }
  return true;
}

void FontCopies::DeleteCopy(const Copy& copy) {
  DeleteFileW(copy.file.c_str());
  RemoveDirectoryW(copy.folder.c_str());
}

void FontCopies::SweepLeftovers() {
  const DWORD error = GetLastError();
  WIN32_FIND_DATAW record;
  HANDLE find = RealFunctions().FindFirstFileExW((root_ + L"\\*").c_str(), FindExInfoBasic, &record,
                                                 FindExSearchNameMatch, nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
      WCHAR* end = nullptr;
      const unsigned long id = std::wcstoul(record.cFileName, &end, 10);
      if (end == record.cFileName || *end != L'.' || id == GetCurrentProcessId()) continue;
      if (ProcessEnded(static_cast<DWORD>(id))) DeleteFolder(root_ + L"\\" + record.cFileName);
    } while (RealFunctions().FindNextFileW(find, &record));
    RealFunctions().FindClose(find);
  }
  SetLastError(error);
}

FontCopies& TheFontCopies() {
  // Never destroyed: see font_copies.h.
  static FontCopies* copies = [] {
    WCHAR temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring root = length != 0 && length <= MAX_PATH ? std::wstring(temp, length) : L".\\";
    return new FontCopies(root + L"xp3patch-fonts");
  }();
  return *copies;
}
