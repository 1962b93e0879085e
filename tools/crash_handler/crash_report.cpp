#include "tools/crash_handler/crash_report.h"

#include <dbghelp.h>

#include <cstddef>
#include <cstdio>

#include "crash/crash_messages.h"
#include "platform/system_error_text.h"

namespace {

std::string Win32Failure(const char* what) { return LastErrorText(what); }

// Reads `size` bytes at `address` of the client. On failure returns false
// and says why, after "<what> failed: ". A 32-bit client has nothing above
// 4 GiB, which is said as such rather than with the (unset) system error.
bool ReadRemote(HANDLE process, std::uint64_t address, void* out, SIZE_T size, const char* what,
                std::string* error) {
  if (address > 0x100000000ull - size) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s failed: the address 0x%llX (%u bytes) reaches beyond 4 GiB, outside a "
                  "32-bit client",
                  what, static_cast<unsigned long long>(address), static_cast<unsigned>(size));
    *error = text;
    return false;
  }
  SIZE_T read = 0;
  if (!::ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<UINT_PTR>(address)),
                           out, size, &read)) {
    *error = Win32Failure(what);
    return false;
  }
  if (read != size) {
    *error = std::string(what) + " failed: only " + std::to_string(read) + " of " +
             std::to_string(size) + " bytes could be read";
    return false;
  }
  return true;
}

bool AlreadyExists(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// Creates the report's two files, "<base>.dmp" and "<base>.txt", as new
// files: an earlier report is never written over. The base is
// crash-PID-DATE-TIME, then crash-PID-DATE-TIME-2, -3, ... until one is
// free. False (with `error`) when no file could be created.
bool CreateReportFiles(const std::wstring& directory, DWORD process_id, HANDLE* dump,
                       std::wstring* dump_path, HANDLE* summary, std::wstring* summary_path,
                       std::string* error) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t name[96];
  std::swprintf(name, 96, L"crash-%lu-%04u%02u%02u-%02u%02u%02u",
                static_cast<unsigned long>(process_id), now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  std::wstring base = directory;
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  base += name;
  for (int number = 1; number <= 1000; ++number) {
    const std::wstring stem = number == 1 ? base : base + L"-" + std::to_wstring(number);
    *dump_path = stem + L".dmp";
    *summary_path = stem + L".txt";
    *dump = ::CreateFileW(dump_path->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*dump == INVALID_HANDLE_VALUE) {
      if (AlreadyExists(::GetLastError())) continue;
      *error = Win32Failure("creating the report files");
      return false;
    }
    *summary = ::CreateFileW(summary_path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*summary != INVALID_HANDLE_VALUE) return true;
    const DWORD summary_error = ::GetLastError();
    ::CloseHandle(*dump);
    ::DeleteFileW(dump_path->c_str());
    if (AlreadyExists(summary_error)) continue;
    ::SetLastError(summary_error);
    *error = Win32Failure("creating the report files");
    return false;
  }
  *error = "creating the report files failed: 1000 reports of this second exist already";
  return false;
}

// Reads the crash information block and, through it, the exception record.
bool ReadCrash(HANDLE process, std::uint64_t crash_information, CrashReport* report) {
  ExceptionInfoBlock block = {};
  if (!ReadRemote(process, crash_information, &block, sizeof block, "reading the crash information",
                  &report->error)) {
    return false;
  }
  report->thread_id = block.thread_id;
  report->exception_pointers = block.exception_pointers;
  // EXCEPTION_POINTERS of a 32-bit client: two 32-bit addresses.
  std::uint32_t pointers[2] = {};
  if (!ReadRemote(process, block.exception_pointers, pointers, sizeof pointers,
                  "reading the exception pointers", &report->error)) {
    return false;
  }
  EXCEPTION_RECORD32 record = {};
  if (!ReadRemote(process, pointers[0], &record, offsetof(EXCEPTION_RECORD32, NumberParameters),
                  "reading the exception record", &report->error)) {
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

  HANDLE dump = INVALID_HANDLE_VALUE;
  HANDLE summary_file = INVALID_HANDLE_VALUE;
  std::wstring dump_path, summary_path;
  std::string files_error;
  if (!CreateReportFiles(report_directory, process_id, &dump, &dump_path, &summary_file,
                         &summary_path, &files_error)) {
    if (report->error.empty()) report->error = files_error;
    return readable;
  }

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
  // The file was created for this report, so removing it loses nothing.
  if (report->dump_path.empty()) ::DeleteFileW(dump_path.c_str());

  const std::string line = std::string(summary) + "\n";
  DWORD written = 0;
  if (::WriteFile(summary_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
      written == line.size()) {
    report->summary_path = summary_path;
  } else if (report->error.empty()) {
    report->error = Win32Failure("writing the summary file");
  }
  ::CloseHandle(summary_file);
  return readable;
}
