#include "tools/crash_handler/registration_check.h"

#include <cstring>

#include "platform/system_error_text.h"

PipeSender IdentifySender(HANDLE pipe) {
  PipeSender sender;
  ULONG id = 0;
  sender.identified = ::GetNamedPipeClientProcessId(pipe, &id) != FALSE;
  if (sender.identified) {
    sender.process_id = id;
  } else {
    sender.error = ::GetLastError();
  }
  return sender;
}

std::string ReadRegistration(const void* bytes, std::size_t size, ClientToServerMessage* request) {
  if (size != sizeof *request) {
    return "message of " + std::to_string(size) + " bytes, expected " +
           std::to_string(sizeof *request);
  }
  std::memcpy(request, bytes, sizeof *request);
  return std::string();
}

std::string RegistrationRefusal(const ClientToServerMessage& request, const PipeSender& sender) {
  if (request.type != kRegistrationMessageType || request.version != kRegistrationVersion) {
    return "message type " + std::to_string(request.type) + " version " +
           std::to_string(request.version);
  }
  if (!sender.identified) {
    return "message names process " + std::to_string(request.client_process_id) +
           " but the pipe client cannot be identified: " + SystemErrorText(sender.error);
  }
  if (sender.process_id != request.client_process_id) {
    return "message names process " + std::to_string(request.client_process_id) +
           " but the pipe client is process " + std::to_string(sender.process_id);
  }
  return std::string();
}
