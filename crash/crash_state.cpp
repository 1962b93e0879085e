#include "crash/crash_state.h"

#include "crash/log_message.h"

ExceptionInfoBlock g_crash_information;
ExceptionInfoBlock g_non_crash_information;
CRITICAL_SECTION g_debug_critical_section;
HANDLE g_crash_event;
char g_crash_handling_flag;

namespace {

using InitializeCriticalSectionExFunction = BOOL(WINAPI*)(CRITICAL_SECTION*, DWORD, DWORD);

constexpr DWORD kForceDebugInfo = 0x10000000;  // RTL_CRITICAL_SECTION_FLAG_FORCE_DEBUG_INFO

// Looked up at run time: the function does not exist before Vista.
InitializeCriticalSectionExFunction LookUpInitializeCriticalSectionEx() {
  const char* name = "::InitializeCriticalSectionEx";
  if (name[0] == ':' && name[1] == ':') name += 2;
  HMODULE kernel32 = ::LoadLibraryW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<InitializeCriticalSectionExFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, name)));
}

}  // namespace

bool InitializeDebugCriticalSection(CRITICAL_SECTION* section) {
  DWORD version = ::GetVersion();
  DWORD major = version & 0xFF;
  DWORD minor = (version >> 8) & 0xFF;
  if (major < 6 || (major == 6 && minor <= 1)) {
    ::InitializeCriticalSection(section);
    return true;
  }
  static const InitializeCriticalSectionExFunction initialize = LookUpInitializeCriticalSectionEx();
  if (initialize == nullptr || !initialize(section, 0, kForceDebugInfo)) {
    DWORD error = ::GetLastError();
    CRASH_LOG_WIN32_ERROR(error) << "InitializeCriticalSectionEx";
    return false;
  }
  return true;
}
