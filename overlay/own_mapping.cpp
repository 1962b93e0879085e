#include "overlay/own_mapping.h"

#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"

namespace {

constexpr DWORD kSectionKinds = SEC_FILE | SEC_IMAGE | SEC_RESERVE | SEC_COMMIT | SEC_NOCACHE |
                                SEC_WRITECOMBINE | SEC_LARGE_PAGES;

// Frees a view or closes a handle on the way out of a failed attempt.
class MadeSection {
 public:
  explicit MadeSection(const RealFileFunctions& real) : real_(real) {}
  ~MadeSection() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (section_ != nullptr) real_.CloseHandle(section_);
  }
  MadeSection(const MadeSection&) = delete;
  MadeSection& operator=(const MadeSection&) = delete;

  HANDLE section_ = nullptr;
  void* view_ = nullptr;

 private:
  const RealFileFunctions& real_;
};

}  // namespace

HANDLE CreateOwnMapping(const OverlayRegistry& registry, const RealFileFunctions& real, HANDLE file,
                        SECURITY_ATTRIBUTES* security, DWORD protect, DWORD size_high,
                        DWORD size_low, const WCHAR* name) {
  const DWORD kind = protect & kSectionKinds;
  bool execute = false;
  switch (protect & ~kSectionKinds) {
    case PAGE_READONLY:
    case PAGE_WRITECOPY:
      break;
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_WRITECOPY:
      execute = true;
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

  MadeSection made(real);
  made.section_ = real.CreateFileMappingW(
      INVALID_HANDLE_VALUE, security, execute ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE,
      static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name);
  if (made.section_ == nullptr) return nullptr;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!existed) {
    if (size > SIZE_MAX) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    made.view_ = MapViewOfFile(made.section_, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
    if (made.view_ == nullptr) return nullptr;
    if (!registry.CopyOwn(file, made.view_, size)) return nullptr;
    UnmapViewOfFile(made.view_);
    made.view_ = nullptr;
  }
  // The handle the caller gets may map the bytes for reading (and copying,
  // and executing when asked), never for writing.
  const DWORD access = STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_READ |
                       (execute ? SECTION_MAP_EXECUTE : 0);
  HANDLE answer = nullptr;
  const BOOL inherit = security != nullptr && security->bInheritHandle;
  if (!real.DuplicateHandle(GetCurrentProcess(), made.section_, GetCurrentProcess(), &answer,
                            access, inherit, 0)) {
    return nullptr;
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return answer;
}
