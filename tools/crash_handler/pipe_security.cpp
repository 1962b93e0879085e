#include "tools/crash_handler/pipe_security.h"

namespace {

bool ReadTokenUser(std::vector<unsigned char>* user) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  bool read = false;
  if (size > 0) {
    user->assign(size, 0);
    read = ::GetTokenInformation(token, TokenUser, user->data(), size, &size) != FALSE;
  }
  DWORD error = ::GetLastError();
  ::CloseHandle(token);
  ::SetLastError(error);
  return read;
}

}  // namespace

bool PipeSecurity::Build() {
  if (!ReadTokenUser(&user_)) return false;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
  const DWORD acl_size =
      sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sid);
  acl_.assign(acl_size, 0);
  PACL acl = reinterpret_cast<PACL>(acl_.data());
  if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
    return false;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
  return true;
}
