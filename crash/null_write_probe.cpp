#include "crash/null_write_probe.h"

extern "C" char null_write_probe_site[];

namespace {

DWORD g_code = 0;

LONG WINAPI SkipProbedWrite(EXCEPTION_POINTERS* pointers) {
  if (pointers->ContextRecord->Eip != reinterpret_cast<UINT_PTR>(null_write_probe_site)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_code = pointers->ExceptionRecord->ExceptionCode;
  pointers->ContextRecord->Eip += 6;  // movl $1, (%eax)
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

__attribute__((noinline)) DWORD NullWriteExceptionCode() {
  g_code = 0;
  void* handler = ::AddVectoredExceptionHandler(1, SkipProbedWrite);
  __asm__ volatile(
      "xorl %%eax, %%eax\n"
      ".globl _null_write_probe_site\n"
      "_null_write_probe_site:\n"
      "movl $1, (%%eax)\n" ::
          : "eax", "memory");
  ::RemoveVectoredExceptionHandler(handler);
  return g_code;
}
