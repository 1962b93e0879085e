// A program that misbehaves on either end of the crash pipe, started by the
// whole-process tests to show that neither the patch nor the crash handler
// can be stalled, flooded or spoofed by another program. One mode per
// behaviour; it reports what it did on standard output, one fact per line.
//
// As a server (against a registering client):
//   serve-busy PIPE MS        one instance, kept busy by itself for MS
//   serve-mute PIPE MS        takes registrations and never answers
//   serve-reply PIPE KIND     answers with a crash event that is no event of
//                             the client: KIND "file" (a file handle put
//                             into the client) or a number
//   squat PIPE MS             takes the name first and holds it for MS
// As a client (against the crash handler):
//   hold PIPE COUNT MS        opens up to COUNT connections read-only, sends
//                             nothing, and after MS says how many were dropped
//   flood PIPE COUNT          registers COUNT times in a row
//   register-and-wait PIPE MS registers once and stays alive for MS
//   fake-crash PIPE DIR       registers with crash information above 4 GiB,
//                             puts files of earlier reports with the names
//                             its report could get into DIR, then signals
//                             a crash

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "crash/crash_client.h"
#include "crash/crash_messages.h"
#include "platform/platform.h"

namespace {

DWORD Number(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 0)); }

HANDLE CreateServerPipe(const wchar_t* name, DWORD instances) {
  HANDLE pipe = ::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances,
                                   512, 512, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::printf("cannot create the pipe: error %lu\n", ::GetLastError());
    std::exit(3);
  }
  return pipe;
}

// Waits for a client and takes its registration.
void AcceptRegistration(HANDLE pipe) {
  if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
    std::printf("ConnectNamedPipe failed: error %lu\n", ::GetLastError());
    std::exit(3);
  }
  unsigned char request[64];
  DWORD size = 0;
  ::ReadFile(pipe, request, sizeof request, &size, nullptr);
  std::printf("took a registration of %lu bytes\n", static_cast<unsigned long>(size));
}

int ServeBusy(const wchar_t* name, DWORD ms) {
  HANDLE pipe = CreateServerPipe(name, 1);
  HANDLE self = ::CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  std::printf(self == INVALID_HANDLE_VALUE ? "not busy\n" : "ready\n");
  ::Sleep(ms);
  ::CloseHandle(pipe);
  return 0;
}

int ServeMute(const wchar_t* name, DWORD ms) {
  HANDLE pipe = CreateServerPipe(name, 1);
  std::printf("ready\n");
  AcceptRegistration(pipe);
  ::Sleep(ms);
  return 0;
}

int ServeReply(const wchar_t* name, const wchar_t* kind) {
  HANDLE pipe = CreateServerPipe(name, 1);
  std::printf("ready\n");
  AcceptRegistration(pipe);
  ServerToClientMessage reply = {};
  if (std::wstring(kind) == L"file") {
    ULONG client_id = 0;
    ::GetNamedPipeClientProcessId(pipe, &client_id);
    HANDLE client = ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, client_id);
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    HANDLE file =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE in_client = nullptr;
    if (client == nullptr || file == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), file, client, &in_client, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      std::printf("cannot put a file handle into process %lu: error %lu\n", client_id,
                  ::GetLastError());
      return 3;
    }
    reply.crash_event = static_cast<std::uint32_t>(reinterpret_cast<UINT_PTR>(in_client));
  } else {
    reply.crash_event = Number(kind);
  }
  DWORD written = 0;
  ::WriteFile(pipe, &reply, sizeof reply, &written, nullptr);
  std::printf("answered with crash event %lu\n", static_cast<unsigned long>(reply.crash_event));
  char ignored[16];
  DWORD read = 0;
  while (::ReadFile(pipe, ignored, sizeof ignored, &read, nullptr)) {
  }
  return 0;
}

int Squat(const wchar_t* name, DWORD ms) {
  HANDLE pipe = CreateServerPipe(name, PIPE_UNLIMITED_INSTANCES);
  std::printf("squatting\n");
  ::Sleep(ms);
  ::CloseHandle(pipe);
  return 0;
}

int Hold(const wchar_t* name, DWORD count, DWORD ms) {
  std::vector<HANDLE> held;
  for (DWORD i = 0; i < count; ++i) {
    HANDLE h = ::CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) break;
    held.push_back(h);
  }
  std::printf("held %u\n", static_cast<unsigned>(held.size()));
  ::Sleep(ms);
  unsigned dropped = 0;
  for (HANDLE h : held) {
    DWORD available = 0;
    if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) ++dropped;
  }
  std::printf("dropped %u of %u\n", dropped, static_cast<unsigned>(held.size()));
  return 0;
}

int Flood(const wchar_t* name, DWORD count) {
  unsigned registered = 0, failed = 0;
  const ClientToServerMessage request = MakeRegistrationMessage();
  for (DWORD i = 0; i < count; ++i) {
    ServerToClientMessage reply = {};
    if (SendToCrashHandlerServer(name, request, &reply)) {
      ++registered;
      ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(reply.crash_event)));
    } else {
      ++failed;
    }
  }
  std::printf("registered %u failed %u\n", registered, failed);
  return 0;
}

int RegisterAndWait(const wchar_t* name, DWORD ms) {
  ServerToClientMessage reply = {};
  if (!SendToCrashHandlerServer(name, MakeRegistrationMessage(), &reply)) {
    std::printf("not registered\n");
    return 1;
  }
  std::printf("registered\n");
  ::Sleep(ms);
  return 0;
}

// The names a report written within the next minute could be given.
void PlantEarlierReports(const std::wstring& directory) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  FILETIME start;
  ::SystemTimeToFileTime(&now, &start);
  ULARGE_INTEGER t = {{start.dwLowDateTime, start.dwHighDateTime}};
  for (int second = -1; second < 60; ++second) {
    ULARGE_INTEGER when = t;
    when.QuadPart += static_cast<long long>(second) * 10000000;
    FILETIME file_time = {when.LowPart, when.HighPart};
    SYSTEMTIME local;
    ::FileTimeToSystemTime(&file_time, &local);
    wchar_t base[128];
    std::swprintf(base, 128, L"%ls\\crash-%lu-%04u%02u%02u-%02u%02u%02u", directory.c_str(),
                  static_cast<unsigned long>(::GetCurrentProcessId()), local.wYear, local.wMonth,
                  local.wDay, local.wHour, local.wMinute, local.wSecond);
    for (const wchar_t* extension : {L".dmp", L".txt"}) {
      HANDLE file = ::CreateFileW((std::wstring(base) + extension).c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, 0, nullptr);
      DWORD written = 0;
      ::WriteFile(file, "earlier report\n", 15, &written, nullptr);
      ::CloseHandle(file);
    }
  }
}

int FakeCrash(const wchar_t* name, const wchar_t* directory) {
  ClientToServerMessage request = MakeRegistrationMessage();
  request.crash_information = 0x100000000ull;  // no 32-bit process has this address
  ServerToClientMessage reply = {};
  if (!SendToCrashHandlerServer(name, request, &reply)) {
    std::printf("not registered\n");
    return 1;
  }
  PlantEarlierReports(directory);
  std::printf("signalling\n");
  ::SetEvent(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(reply.crash_event)));
  ::Sleep(60000);  // the handler ends this process
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: hostile_peer MODE PIPE [ARGUMENTS]\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  const wchar_t* pipe = argv[2];
  const wchar_t* third = argc > 3 ? argv[3] : L"0";
  const wchar_t* fourth = argc > 4 ? argv[4] : L"0";
  if (mode == L"serve-busy") return ServeBusy(pipe, Number(third));
  if (mode == L"serve-mute") return ServeMute(pipe, Number(third));
  if (mode == L"serve-reply") return ServeReply(pipe, third);
  if (mode == L"squat") return Squat(pipe, Number(third));
  if (mode == L"hold") return Hold(pipe, Number(third), Number(fourth));
  if (mode == L"flood") return Flood(pipe, Number(third));
  if (mode == L"register-and-wait") return RegisterAndWait(pipe, Number(third));
  if (mode == L"fake-crash") return FakeCrash(pipe, third);
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
