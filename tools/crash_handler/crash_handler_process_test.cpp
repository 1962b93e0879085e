// Whole-process behaviour of the crash handler against programs that misuse
// its pipe (hostile_peer): one that holds connections without registering,
// one that floods it with registrations, more programs than it watches, one
// that took the name first, a registration pointing above 4 GiB next to
// files of earlier reports. Each test starts its own handler.

#include <gtest/gtest.h>
#include <aclapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crash/crash_client.h"
#include "crash/test_processes.h"
#include "platform/platform.h"
#include "tools/crash_handler/crash_server.h"

namespace {

using namespace test_processes;

constexpr DWORD kLineTimeoutMs = 30000;

std::wstring g_out;
int g_started = 0;

struct Handler {
  Child process;
  std::wstring pipe;
  std::wstring log;
};

std::wstring NewPipeName() {
  return L"\\\\.\\pipe\\crash-handler-process-test-" + std::to_wstring(::GetCurrentProcessId()) +
         L"-" + std::to_wstring(++g_started);
}

Handler StartHandler(const std::wstring& pipe, const std::wstring& extra) {
  Handler handler;
  handler.pipe = pipe;
  const std::wstring name = g_out + L"\\handler-" + std::to_wstring(++g_started);
  handler.log = name + L".log";
  handler.process = Start(
      FromBuildPath(CRASH_HANDLER_PATH),
      L"--pipe " + pipe + L" --dump-dir \"" + g_out + L"\" --log \"" + handler.log + L"\" " + extra,
      name);
  return handler;
}

Handler StartListeningHandler(const std::wstring& extra = L"") {
  Handler handler = StartHandler(NewPipeName(), extra);
  EXPECT_TRUE(WaitForLine(handler.log, "listening on", kLineTimeoutMs))
      << ReadFileText(handler.process.stdout_path);
  return handler;
}

std::vector<std::string> Log(const Handler& handler) { return Lines(ReadFileText(handler.log)); }

Child StartPeer(const std::wstring& arguments) {
  return Start(FromBuildPath(HOSTILE_PEER_PATH), arguments,
               g_out + L"\\peer-" + std::to_wstring(++g_started));
}

std::vector<std::string> Output(const Child& child) {
  return Lines(ReadFileText(child.stdout_path));
}

// Registers this test process; the time it took goes to `elapsed_ms`.
bool RegisterSelf(const Handler& handler, ULONGLONG* elapsed_ms = nullptr) {
  ULONGLONG start = ::GetTickCount64();
  ServerToClientMessage reply = {};
  bool sent = SendToCrashHandlerServer(handler.pipe, MakeRegistrationMessage(), &reply);
  if (elapsed_ms != nullptr) *elapsed_ms = ::GetTickCount64() - start;
  if (sent) ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(reply.crash_event)));
  return sent;
}

DWORD ThreadsOf(DWORD process_id) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD count = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process_id) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

class CrashHandlerProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t directory[MAX_PATH];
    DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
    g_out = std::wstring(directory, length) + L"\\crash_handler_process_test.out";
    MakeEmptyDirectory(g_out);
    CreateKillJob();
  }
};

// A program that opens the pipe read-only and sends nothing used to hold
// the handler's only instance, and with it every game's start.
TEST_F(CrashHandlerProcessTest, ASilentConnectionStallsNobodyAndIsDropped) {
  Handler handler = StartListeningHandler();
  Child holder = StartPeer(L"hold " + handler.pipe + L" 1 3500");
  ASSERT_TRUE(WaitForLine(holder.stdout_path, "held 1", kLineTimeoutMs));
  ULONGLONG elapsed = 0;
  EXPECT_TRUE(RegisterSelf(handler, &elapsed));
  // Another instance served at once, without waiting for the held one.
  EXPECT_LT(elapsed, 1500u);
  EXPECT_EQ(Finish(&holder, 20000), 0u);
  EXPECT_TRUE(Contains(Output(holder), "dropped 1 of 1"));
  EXPECT_EQ(LinesWith(Log(handler), "dropped a connection that sent no registration within 2000 ms")
                .size(),
            1u);
  Stop(&handler.process);
}

TEST_F(CrashHandlerProcessTest, HoldersOfEveryInstanceLoseThemAfterTheTimeLimit) {
  Handler handler = StartListeningHandler();
  Child holder = StartPeer(L"hold " + handler.pipe + L" 20 3500");
  EXPECT_EQ(Finish(&holder, 20000), 0u);
  std::vector<std::string> output = Output(holder);
  const std::string all = std::to_string(CrashServer::kInstances);
  EXPECT_TRUE(Contains(output, "held " + all)) << ReadFileText(holder.stdout_path);
  EXPECT_TRUE(Contains(output, "dropped " + all + " of " + all));
  EXPECT_TRUE(RegisterSelf(handler));
  Stop(&handler.process);
}

// One thread per registration, without limit, used to end the handler.
TEST_F(CrashHandlerProcessTest, AFloodOfRegistrationsNeitherEndsNorGrowsTheHandler) {
  Handler handler = StartListeningHandler();
  Child flood = StartPeer(L"flood " + handler.pipe + L" 500");
  EXPECT_EQ(Finish(&flood, 60000), 0u);
  EXPECT_TRUE(Contains(Output(flood), "registered 500 failed 0"))
      << ReadFileText(flood.stdout_path);
  EXPECT_EQ(::WaitForSingleObject(handler.process.process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // The serving thread, the watcher and what the system runs beside them
  // (the system's own worker threads on Windows), not one per registration.
  const DWORD threads = ThreadsOf(handler.process.id);
  std::printf("the handler runs %lu threads after 500 registrations\n",
              static_cast<unsigned long>(threads));
  EXPECT_LE(threads, 10u);
  EXPECT_EQ(
      LinesWith(Log(handler), "registered again; its earlier registration is replaced").size(),
      499u);
  EXPECT_TRUE(RegisterSelf(handler));
  Stop(&handler.process);
}

TEST_F(CrashHandlerProcessTest, RegistrationsBeyondTheLimitAreRefusedCleanly) {
  Handler handler = StartListeningHandler(L"--max-clients 2");
  ASSERT_TRUE(RegisterSelf(handler));
  Child second = StartPeer(L"register-and-wait " + handler.pipe + L" 30000");
  ASSERT_TRUE(WaitForLine(second.stdout_path, "registered", kLineTimeoutMs));
  Child third = StartPeer(L"register-and-wait " + handler.pipe + L" 0");
  EXPECT_EQ(Finish(&third, 20000), 1u);
  EXPECT_TRUE(Contains(Output(third), "not registered"));
  EXPECT_EQ(LinesWith(Log(handler), "refused: registration of process " + std::to_string(third.id) +
                                        ": already watching 2 programs, the limit")
                .size(),
            1u);
  // This process registering again takes no more room.
  EXPECT_TRUE(RegisterSelf(handler));
  // Room comes back when a watched program ends.
  Stop(&second);
  ASSERT_TRUE(
      WaitForLine(handler.log, "process " + std::to_string(second.id) + " ended", kLineTimeoutMs));
  Child fourth = StartPeer(L"register-and-wait " + handler.pipe + L" 0");
  EXPECT_EQ(Finish(&fourth, 20000), 0u);
  Stop(&handler.process);
}

// A program that created the name first used to receive the games'
// registrations while the handler said it was listening.
TEST_F(CrashHandlerProcessTest, ANameServedByAnotherProgramIsRefusedLoudly) {
  const std::wstring pipe = NewPipeName();
  Child squatter = StartPeer(L"squat " + pipe + L" 30000");
  ASSERT_TRUE(WaitForLine(squatter.stdout_path, "squatting", kLineTimeoutMs));
  Handler late = StartHandler(pipe, L"");
  EXPECT_EQ(Finish(&late.process, 20000), 1u);
  EXPECT_EQ(LinesWith(Lines(ReadFileText(late.process.stdout_path)),
                      "is already served by another program; not serving it")
                .size(),
            1u);
  Stop(&squatter);

  // Nor can a program serve the name beside a running handler.
  Handler handler = StartListeningHandler();
  Handler second = StartHandler(handler.pipe, L"");
  EXPECT_EQ(Finish(&second.process, 20000), 1u);
  Child beside = StartPeer(L"squat " + handler.pipe + L" 0");
  EXPECT_EQ(Finish(&beside, 20000), 3u);
  EXPECT_TRUE(
      Contains(Output(beside), "cannot create the pipe: error " + std::to_string(ERROR_PIPE_BUSY)));
  EXPECT_TRUE(RegisterSelf(handler));
  Stop(&handler.process);
}

// The system's default access list lets any user read a pipe, which was
// enough to hold it.
TEST_F(CrashHandlerProcessTest, OnlyTheCurrentUserIsAdmitted) {
  Handler handler = StartListeningHandler();
  HANDLE pipe =
      ::CreateFileW(handler.pipe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);  // null would admit everyone
  ASSERT_EQ(dacl->AceCount, 1u);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);

  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  unsigned char user[256];
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, sizeof user, &size));
  EXPECT_TRUE(::EqualSid(reinterpret_cast<PSID>(&ace->SidStart),
                         reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
  ::CloseHandle(token);
  ::LocalFree(descriptor);
  ::CloseHandle(pipe);
  Stop(&handler.process);
}

std::vector<std::wstring> ReportFilesOf(DWORD process_id) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW data;
  const std::wstring pattern = g_out + L"\\crash-" + std::to_wstring(process_id) + L"-*";
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    files.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return files;
}

// A registration may announce any 64-bit address; one no 32-bit client has
// used to be reported as "Success (error 0)". And a report whose name was
// taken used to be written over the earlier one.
TEST_F(CrashHandlerProcessTest, AnAddressAbove4GiBIsNamedAndEarlierReportsAreKept) {
  Handler handler = StartListeningHandler();
  Child client = StartPeer(L"fake-crash " + handler.pipe + L" \"" + g_out + L"\"");
  EXPECT_EQ(Finish(&client, 30000), 1u);  // ended by the handler, without an exception code
  ASSERT_TRUE(Contains(Output(client), "signalling")) << ReadFileText(client.stdout_path);
  ASSERT_TRUE(
      WaitForLine(handler.log, "report: process " + std::to_string(client.id), kLineTimeoutMs));
  const std::vector<std::string> reports =
      LinesWith(Log(handler), "report: process " + std::to_string(client.id));
  ASSERT_EQ(reports.size(), 1u);
  const std::string summary = "process " + std::to_string(client.id) +
                              " crashed; details unreadable: reading the crash information "
                              "failed: the address 0x100000000 (12 bytes) reaches beyond 4 GiB, "
                              "outside a 32-bit client";
  EXPECT_NE(reports[0].find("report: " + summary + " "), std::string::npos) << reports[0];
  EXPECT_EQ(reports[0].find("(error 0)"), std::string::npos);

  const std::size_t at = reports[0].find(" summary ");
  ASSERT_NE(at, std::string::npos);
  const std::wstring summary_path = Widen(reports[0].substr(at + 9));
  EXPECT_EQ(ReadFileText(summary_path), summary + "\n");
  EXPECT_EQ(summary_path.substr(summary_path.size() - 6), L"-2.txt");
  // Every file of an earlier report is as it was.
  int earlier = 0;
  for (const std::wstring& name : ReportFilesOf(client.id)) {
    if (g_out + L"\\" + name == summary_path) continue;
    if (name.find(L"-2.") != std::wstring::npos) continue;  // the new dump, if written
    EXPECT_TRUE(ReadFileText(g_out + L"\\" + name) == "earlier report\n")
        << Narrow(name) << " was written over";
    ++earlier;
  }
  EXPECT_EQ(earlier, 2 * 61);
  Stop(&handler.process);
}

}  // namespace
