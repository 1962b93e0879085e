#include "overlay/overlaid_source.h"

#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_answers.h"

OverlaidSource::~OverlaidSource() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  const DWORD error = GetLastError();
  if (Own()) {
    HostRegistry().CloseOwn(handle_);
  } else {
    RealFunctions().CloseHandle(handle_);
  }
  SetLastError(error);
}

OverlaidSource::Opened OverlaidSource::Open(const char* function, LPCWSTR path) {
  bool overlaid = true;
  handle_ = CreateFileAnswer(function, path, 0, [&] {
    overlaid = false;
    return INVALID_HANDLE_VALUE;
  });
  if (!overlaid) return Opened::kNotOverlaid;
  return handle_ == INVALID_HANDLE_VALUE ? Opened::kFailed : Opened::kOpen;
}

bool OverlaidSource::Own() const { return HostRegistry().IsOwnHandle(handle_); }

bool OverlaidSource::Read(void* buffer, DWORD count, DWORD* got) {
  *got = 0;
  if (Own()) return HostRegistry().ReadOwn(handle_, buffer, count, got) != FALSE;
  return RealFunctions().ReadFile(handle_, buffer, count, got, nullptr) != FALSE;
}

bool OverlaidSource::Size(uint64_t* size) {
  LARGE_INTEGER value = {};
  const BOOL known = Own() ? HostRegistry().SizeOwn(handle_, &value)
                           : RealFunctions().GetFileSizeEx(handle_, &value);
  *size = static_cast<uint64_t>(value.QuadPart);
  return known != FALSE;
}

bool OverlaidSource::Time(FILETIME* time) {
  if (Own()) {
    OverlayRegistry::FileFacts facts;
    if (!HostRegistry().DescribeOwn(handle_, &facts)) return false;
    *time = facts.time;
    return true;
  }
  return RealFunctions().GetFileTime(handle_, nullptr, nullptr, time) != FALSE;
}
