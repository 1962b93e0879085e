// Helpers of the whole-process crash tests: starting the programs under
// test with their output in files, waiting for them with a limit, and
// reading what they wrote. Every process started belongs to one job that
// kills them all when the test program ends, however it ends.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace test_processes {

struct Child {
  HANDLE process = nullptr;
  DWORD id = 0;
  std::wstring stdout_path;
  std::wstring stderr_path;
};

// UTF-8 to UTF-16 (a test failure when it is not UTF-8).
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// The directory of this test program, where its sibling programs are built.
std::wstring ExecutableDirectory();
// A path the build gave as the build machine sees it, as Wine reaches it
// (drive Z: for a Unix path).
std::wstring FromBuildPath(const std::string& path);

// Creates the job every started process joins (once per test program).
void CreateKillJob();
// Starts `exe` with `arguments`; standard output and error go to
// `output`.out and `output`.err. A failure to start is a test failure.
Child Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& output);
// Waits for the child at most `timeout_ms`; its exit code, or 0xDEADDEAD
// (and a test failure) when it had to be killed.
DWORD Finish(Child* child, DWORD timeout_ms = 120000);
// Ends a child that serves until stopped.
void Stop(Child* child);

std::string ReadFileText(const std::wstring& path);
std::vector<std::string> Lines(const std::string& text);
bool Contains(const std::vector<std::string>& lines, const std::string& line);
std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& part);
// Polls `path` until a line containing `part` appears.
bool WaitForLine(const std::wstring& path, const std::string& part, DWORD timeout_ms);
// Creates `directory` if needed and removes the files in it.
void MakeEmptyDirectory(const std::wstring& directory);

}  // namespace test_processes
