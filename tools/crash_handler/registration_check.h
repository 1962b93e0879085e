// What the crash handler accepts as a registration.
//
// A registration names a process id, and the handler then opens that
// process, puts an event into it and reads its memory after a crash. So it
// is only taken from the process it names: the system must say which
// process is on the other end of the pipe, and the two must agree. A
// message whose sender cannot be identified is refused, never trusted.
#pragma once

#include <cstddef>
#include <string>

#include "crash/crash_messages.h"
#include "platform/platform.h"

// Who the system says is on the other end of the pipe.
struct PipeSender {
  bool identified = false;
  DWORD process_id = 0;
  DWORD error = 0;  // why it could not be identified
};

// The sender of the pipe's connected client (GetNamedPipeClientProcessId).
PipeSender IdentifySender(HANDLE pipe);

// Takes the 36-byte message out of what was read; the reason it is refused
// ("message of N bytes, expected 36") otherwise, empty when taken.
std::string ReadRegistration(const void* bytes, std::size_t size, ClientToServerMessage* request);

// Why `request` from `sender` is refused, or empty when it is accepted: a
// type or version this handler does not speak, a sender the system cannot
// name, or a sender that is not the process the message names.
std::string RegistrationRefusal(const ClientToServerMessage& request, const PipeSender& sender);
