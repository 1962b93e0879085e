#include "crash/pipe_name.h"

#include "platform/platform.h"

namespace {

constexpr wchar_t kLocalPipePrefix[] = L"\\\\.\\pipe\\";
constexpr std::size_t kLocalPipePrefixLength = sizeof kLocalPipePrefix / sizeof(wchar_t) - 1;

bool IsLocalPipePrefix(const std::wstring& name) {
  if (name.size() < kLocalPipePrefixLength) return false;
  for (std::size_t i = 0; i < kLocalPipePrefixLength; ++i) {
    wchar_t c = name[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kLocalPipePrefix[i]) return false;
  }
  return true;
}

}  // namespace

const char* PipeNameRefusal(const std::wstring& name) {
  if (name.size() > kMaxPipeNameLength) return "longer than 511 characters";
  static const char kNotLocal[] = "not a local pipe name (\\\\.\\pipe\\NAME)";
  if (!IsLocalPipePrefix(name)) return kNotLocal;
  const std::wstring rest = name.substr(kLocalPipePrefixLength);
  if (rest.empty() || rest == L"." || rest == L"..") return kNotLocal;
  if (rest.find_first_of(L"\\/") != std::wstring::npos) return kNotLocal;
  return nullptr;
}

bool ReadAnnouncedPipeName(std::wstring* name) {
  wchar_t buffer[kMaxPipeNameLength + 1];
  DWORD length = ::GetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", buffer, kMaxPipeNameLength + 1);
  if (length == 0) return false;
  if (length <= kMaxPipeNameLength) {
    name->assign(buffer, length);
    return true;
  }
  // Too long for the buffer: `length` is the size needed. The whole value is
  // read so that it is refused as too long rather than taken as empty.
  for (;;) {
    std::wstring value(length, L'\0');
    DWORD read = ::GetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", value.data(), length);
    if (read == 0) return false;
    if (read < length) {
      value.resize(read);
      *name = value;
      return true;
    }
    length = read;  // the variable grew meanwhile
  }
}
