#include "tools/crash_handler/crash_report.h"

#include <dbghelp.h>

#include <cstddef>
#include <cstdio>

#include "crash/crash_messages.h"
#include "tools/crash_handler/system_error_text.h"

namespace {

std::string Win32Failure(const char* what) { return LastErrorText(what); }

bool ReadRemote(HANDLE process, std::uint64_t address, void* out, SIZE_T size) {
  SIZE_T read = 0;
  return address <= 0xFFFFFFFFu &&
         ::ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<UINT_PTR>(address)),
                             out, size, &read) &&
         read == size;
}

std::wstring ReportBaseName(const std::wstring& directory, DWORD process_id) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t name[96];
  std::swprintf(name, 96, L"crash-%lu-%04u%02u%02u-%02u%02u%02u",
                static_cast<unsigned long>(process_id), now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  std::wstring base = directory;
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  return base + name;
}

// Reads the crash information block and, through it, the exception record.
bool ReadCrash(HANDLE process, std::uint64_t crash_information, CrashReport* report) {
  ExceptionInfoBlock block = {};
  if (!ReadRemote(process, crash_information, &block, sizeof block)) {
    report->error = Win32Failure("reading the crash information");
    return false;
  }
  report->thread_id = block.thread_id;
  report->exception_pointers = block.exception_pointers;
  // EXCEPTION_POINTERS of a 32-bit client: two 32-bit addresses.
  std::uint32_t pointers[2] = {};
  if (!ReadRemote(process, block.exception_pointers, pointers, sizeof pointers)) {
    report->error = Win32Failure("reading the exception pointers");
    return false;
  }
  EXCEPTION_RECORD32 record = {};
  if (!ReadRemote(process, pointers[0], &record, offsetof(EXCEPTION_RECORD32, NumberParameters))) {
    report->error = Win32Failure("reading the exception record");
    return false;
  }
  report->exception_code = record.ExceptionCode;
  report->exception_address = record.ExceptionAddress;
  return true;
}

}  // namespace

bool WriteCrashReport(HANDLE process, DWORD process_id, std::uint64_t crash_information,
                      const std::wstring& report_directory, CrashReport* report) {
  report->process_id = process_id;
  bool readable = ReadCrash(process, crash_information, report);

  char summary[256];
  if (readable) {
    std::snprintf(
        summary, sizeof summary, "process %lu thread %lu exception 0x%08lX address 0x%08lX",
        static_cast<unsigned long>(process_id), static_cast<unsigned long>(report->thread_id),
        static_cast<unsigned long>(report->exception_code),
        static_cast<unsigned long>(report->exception_address));
  } else {
    std::snprintf(summary, sizeof summary, "process %lu crashed; details unreadable: %s",
                  static_cast<unsigned long>(process_id), report->error.c_str());
  }
  report->summary = summary;

  std::wstring base = ReportBaseName(report_directory, process_id);
  std::wstring dump_path = base + L".dmp";
  HANDLE dump = ::CreateFileW(dump_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (dump == INVALID_HANDLE_VALUE) {
    if (report->error.empty()) report->error = Win32Failure("creating the dump file");
  } else {
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = report->thread_id;
    exception.ExceptionPointers =
        reinterpret_cast<EXCEPTION_POINTERS*>(static_cast<UINT_PTR>(report->exception_pointers));
    exception.ClientPointers = TRUE;  // the pointers are addresses in the client
    if (::MiniDumpWriteDump(process, process_id, dump, MiniDumpNormal,
                            readable ? &exception : nullptr, nullptr, nullptr)) {
      report->dump_path = dump_path;
    } else if (report->error.empty()) {
      report->error = Win32Failure("MiniDumpWriteDump");
    }
    ::CloseHandle(dump);
    if (report->dump_path.empty()) ::DeleteFileW(dump_path.c_str());
  }

  std::wstring summary_path = base + L".txt";
  std::FILE* file = _wfopen(summary_path.c_str(), L"wb");
  if (file != nullptr) {
    std::fprintf(file, "%s\n", summary);
    if (std::fclose(file) == 0) report->summary_path = summary_path;
  } else if (report->error.empty()) {
    report->error = "creating the summary file failed";
  }
  return readable;
}
