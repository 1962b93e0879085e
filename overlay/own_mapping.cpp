#include "overlay/own_mapping.h"

#include <cstdint>

#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"

namespace {

constexpr DWORD kSectionKinds = SEC_FILE | SEC_IMAGE | SEC_RESERVE | SEC_COMMIT | SEC_NOCACHE |
                                SEC_WRITECOMBINE | SEC_LARGE_PAGES;

// A temporary file in the user's temporary folder, deleted by the system
// when the last handle to it and every section made from it are gone
// (FILE_FLAG_DELETE_ON_CLOSE, "CreateFileW function", Microsoft Learn).
class BackingFile {
 public:
  explicit BackingFile(const RealFileFunctions& real) : real_(real) {}
  ~BackingFile() {
    if (handle_ != INVALID_HANDLE_VALUE) real_.CloseHandle(handle_);
  }
  BackingFile(const BackingFile&) = delete;
  BackingFile& operator=(const BackingFile&) = delete;

  // Swaps the handle that filled the file for one that may only read (and
  // execute): the section made from it can then never be written through,
  // whatever the section's own protection lets a system check ("a view
  // for writing needs a file handle with write access", "MapViewOfFile
  // function", Microsoft Learn). The writing handle asked for deletion on
  // close, so the file goes when the last handle and section are gone.
  bool ReopenForReading() {
    HANDLE reading = real_.CreateFileW(path_, GENERIC_READ | GENERIC_EXECUTE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (reading == INVALID_HANDLE_VALUE) return false;
    real_.CloseHandle(handle_);
    handle_ = reading;
    return true;
  }

  bool Create() {
    WCHAR folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return false;
    static volatile LONG counter = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
      wsprintfW(path_, L"%sxp3patch-view-%lu-%ld.tmp", folder, GetCurrentProcessId(),
                InterlockedIncrement(&counter));
      handle_ = real_.CreateFileW(path_, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) return true;
      if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
  }
  bool Append(const void* bytes, uint32_t size) {
    DWORD written = 0;
    if (!real_.WriteFile(handle_, bytes, size, &written, nullptr)) return false;
    if (written == size) return true;
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  HANDLE handle() const { return handle_; }

 private:
  const RealFileFunctions& real_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WCHAR path_[MAX_PATH + 64] = {};
};

}  // namespace

HANDLE CreateOwnMapping(const OverlayRegistry& registry, const RealFileFunctions& real, HANDLE file,
                        SECURITY_ATTRIBUTES* security, DWORD protect, DWORD size_high,
                        DWORD size_low, const WCHAR* name) {
  const DWORD kind = protect & kSectionKinds;
  switch (protect & ~kSectionKinds) {
    case PAGE_READONLY:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_WRITECOPY:
      break;
    case PAGE_READWRITE:
    case PAGE_EXECUTE_READWRITE:
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  if ((kind & (SEC_IMAGE | SEC_NOCACHE | SEC_WRITECOMBINE | SEC_LARGE_PAGES)) != 0) {
    // An executable image cannot be made from a section of bytes; the other
    // kinds are refused for every file the system maps.
    SetLastError((kind & SEC_IMAGE) != 0 ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  OverlayRegistry::FileFacts facts;
  if (!registry.DescribeOwn(file, &facts)) return nullptr;
  uint64_t size = static_cast<uint64_t>(size_high) << 32 | size_low;
  if (size == 0) {
    if (facts.size == 0) {  // an empty file cannot be mapped
      SetLastError(ERROR_FILE_INVALID);
      return nullptr;
    }
    size = facts.size;
  } else if (size > facts.size) {  // a read-only file cannot grow to fit
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  // A section of that name already there is opened as the system opens it
  // ("CreateFileMappingW function": the existing object, with the access the
  // protection asks for), without decoding the whole entry a second time.
  if (name != nullptr) {
    const DWORD page = protect & ~kSectionKinds;
    const DWORD access = page == PAGE_EXECUTE_READ || page == PAGE_EXECUTE_WRITECOPY
                             ? FILE_MAP_READ | FILE_MAP_EXECUTE
                             : FILE_MAP_READ;
    const BOOL inherit = security != nullptr && security->bInheritHandle;
    if (HANDLE existing = OpenFileMappingW(access, inherit, name)) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return existing;
    }
  }
  BackingFile backing(real);
  if (!backing.Create() ||
      !registry.CopyOwn(
          file, size,
          [&](const void* bytes, uint32_t count) { return backing.Append(bytes, count); }) ||
      !backing.ReopenForReading()) {
    return nullptr;
  }
  // The caller's protection, read-only kinds only: it is the section's
  // maximum protection for every handle to it.
  HANDLE section =
      real.CreateFileMappingW(backing.handle(), security, protect, size_high, size_low, name);
  if (section == nullptr) return nullptr;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  SetLastError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return section;
}
