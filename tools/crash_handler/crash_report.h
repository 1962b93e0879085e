// Writing the report of one crashed client: reads the crash information the
// client announced at registration (and through it the exception record and
// context) from the client's memory, writes a minidump and a one-line
// summary into the report directory. The caller owns the process handle.
// Reports are written as new files (crash-PID-DATE-TIME.dmp and .txt, with
// -2, -3, ... added when a file of that name exists): never over an
// earlier report.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

struct CrashReport {
  DWORD process_id = 0;
  DWORD thread_id = 0;
  DWORD exception_code = 0;
  std::uint32_t exception_address = 0;
  std::uint64_t exception_pointers = 0;  // address in the client
  std::wstring dump_path;                // empty when no dump could be written
  std::wstring summary_path;             // empty when no summary could be written
  std::string summary;                   // "process P thread T exception 0xC... address 0x...",
                                         // or "process P crashed; details unreadable: ..."
  std::string error;                     // what failed, empty on full success
};

// `crash_information` is the address of the client's ExceptionInfoBlock.
// Returns false when the crash could not be read from the client (`error`
// says why); the summary then says so, and a dump without exception details
// is still attempted. A failed dump or summary file is reported in `error`.
bool WriteCrashReport(HANDLE process, DWORD process_id, std::uint64_t crash_information,
                      const std::wstring& report_directory, CrashReport* report);
