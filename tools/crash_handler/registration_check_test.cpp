// The handler's decision on a registration: only the process the message
// names may register it, and a sender the system cannot name is refused.
#include "tools/crash_handler/registration_check.h"

#include <gtest/gtest.h>

#include "platform/system_error_text.h"

namespace {

ClientToServerMessage Registration(DWORD process_id) {
  ClientToServerMessage request = {};
  request.type = kRegistrationMessageType;
  request.version = kRegistrationVersion;
  request.client_process_id = process_id;
  return request;
}

PipeSender Identified(DWORD process_id) {
  PipeSender sender;
  sender.identified = true;
  sender.process_id = process_id;
  return sender;
}

TEST(RegistrationCheckTest, OnlyThe36ByteMessageIsTaken) {
  ClientToServerMessage sent = Registration(77);
  sent.crash_information = 0x1122334455667788ull;
  ClientToServerMessage taken = {};
  EXPECT_EQ(ReadRegistration(&sent, sizeof sent, &taken), "");
  EXPECT_EQ(taken.crash_information, sent.crash_information);
  EXPECT_EQ(ReadRegistration(&sent, 35, &taken), "message of 35 bytes, expected 36");
  EXPECT_EQ(ReadRegistration(&sent, 0, &taken), "message of 0 bytes, expected 36");
}

TEST(RegistrationCheckTest, TheSenderMustBeTheProcessTheMessageNames) {
  EXPECT_EQ(RegistrationRefusal(Registration(77), Identified(77)), "");
  EXPECT_EQ(RegistrationRefusal(Registration(77), Identified(78)),
            "message names process 77 but the pipe client is process 78");

  PipeSender unknown;
  unknown.error = ERROR_PIPE_NOT_CONNECTED;
  EXPECT_EQ(RegistrationRefusal(Registration(77), unknown),
            "message names process 77 but the pipe client cannot be identified: " +
                SystemErrorText(ERROR_PIPE_NOT_CONNECTED));

  ClientToServerMessage other = Registration(77);
  other.type = 1;
  EXPECT_EQ(RegistrationRefusal(other, Identified(77)), "message type 1 version 1");
  other = Registration(77);
  other.version = 2;
  EXPECT_EQ(RegistrationRefusal(other, Identified(77)), "message type 0 version 2");
}

TEST(RegistrationCheckTest, ThisProcessIsIdentifiedAsTheClientOfItsOwnConnection) {
  const wchar_t* name = L"\\\\.\\pipe\\registration-check-test";
  HANDLE server =
      ::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 64, 64, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE client =
      ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  ::ConnectNamedPipe(server, nullptr);
  PipeSender sender = IdentifySender(server);
  EXPECT_TRUE(sender.identified);
  EXPECT_EQ(sender.process_id, ::GetCurrentProcessId());
  ::CloseHandle(client);
  ::CloseHandle(server);

  // Not a pipe: nobody can be named.
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  sender = IdentifySender(event);
  EXPECT_FALSE(sender.identified);
  EXPECT_NE(sender.error, 0u);
  ::CloseHandle(event);
}

}  // namespace
