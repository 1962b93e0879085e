#include "crash/test_processes.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/text_conversion.h"

namespace test_processes {

namespace {

HANDLE g_job = nullptr;

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, 0, nullptr);
}

}  // namespace

std::wstring Widen(const std::string& text) {
  std::wstring out;
  if (!FromUtf8(text, &out)) ADD_FAILURE() << "not UTF-8: " << text;
  return out;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!ToUtf8(text, &out)) ADD_FAILURE() << "not UTF-16";
  return out;
}

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/"));
}

std::wstring FromBuildPath(const std::string& build_path) {
  std::wstring path = Widen(build_path);
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    path = L"Z:" + path;
  }
  return path;
}

void CreateKillJob() {
  if (g_job != nullptr) return;
  g_job = ::CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

Child Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& output) {
  Child child;
  child.stdout_path = output + L".out";
  child.stderr_path = output + L".err";
  HANDLE out = OpenInheritable(child.stdout_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenInheritable(child.stderr_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  PROCESS_INFORMATION info = {};
  if (::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
    if (g_job != nullptr) ::AssignProcessToJobObject(g_job, info.hProcess);
    ::CloseHandle(info.hThread);
    child.process = info.hProcess;
    child.id = info.dwProcessId;
  } else {
    ADD_FAILURE() << "cannot start " << Narrow(exe) << ", error " << ::GetLastError();
  }
  ::CloseHandle(out);
  ::CloseHandle(err);
  ::CloseHandle(in);
  return child;
}

DWORD Finish(Child* child, DWORD timeout_ms) {
  if (child->process == nullptr) return 0xDEADDEAD;
  DWORD code = 0xDEADDEAD;
  if (::WaitForSingleObject(child->process, timeout_ms) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "child " << child->id << " did not end within " << timeout_ms << " ms";
    ::TerminateProcess(child->process, 0xDEADDEAD);
    ::WaitForSingleObject(child->process, 5000);
  }
  ::GetExitCodeProcess(child->process, &code);
  ::CloseHandle(child->process);
  child->process = nullptr;
  return code;
}

void Stop(Child* child) {
  if (child->process == nullptr) return;
  ::TerminateProcess(child->process, 0);
  Finish(child, 10000);
}

std::string ReadFileText(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  ::CloseHandle(file);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> found;
  for (const std::string& l : lines) {
    if (l.find(part) != std::string::npos) found.push_back(l);
  }
  return found;
}

bool WaitForLine(const std::wstring& path, const std::string& part, DWORD timeout_ms) {
  for (DWORD waited = 0;; waited += 50) {
    if (!LinesWith(Lines(ReadFileText(path)), part).empty()) return true;
    if (waited >= timeout_ms) return false;
    ::Sleep(50);
  }
}

void MakeEmptyDirectory(const std::wstring& directory) {
  ::CreateDirectoryW(directory.c_str(), nullptr);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::DeleteFileW((directory + L"\\" + data.cFileName).c_str());
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

}  // namespace test_processes
