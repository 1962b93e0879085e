// The wire and memory layouts shared with the out-of-process crash handler.
//
// ClientToServerMessage is the registration this process sends over the
// handler's pipe; ServerToClientMessage is the handler's 12-byte answer;
// ExceptionInfoBlock is what the handler reads from this process's memory
// when a crash is signalled. All little-endian and packed; addresses are
// 32-bit values zero-extended to 64 bits, so a 64-bit handler reads them too.
#pragma once

#include <cstdint>

#pragma pack(push, 1)

struct ExceptionInfoBlock {
  std::uint64_t exception_pointers;  // address of the crash's EXCEPTION_POINTERS
  std::uint32_t thread_id;           // id of the thread that crashed
};

inline constexpr std::uint32_t kRegistrationMessageType = 0;
inline constexpr std::uint32_t kRegistrationVersion = 1;

struct ClientToServerMessage {
  std::uint32_t type;     // kRegistrationMessageType
  std::uint32_t version;  // kRegistrationVersion
  std::uint32_t client_process_id;
  std::uint64_t crash_information;      // address of an ExceptionInfoBlock
  std::uint64_t non_crash_information;  // address of an ExceptionInfoBlock
  std::uint64_t debug_critical_section;
};

struct ServerToClientMessage {
  std::uint32_t crash_event;                 // handle valid in the client
  std::uint32_t non_crash_request_event;     // unused by this system
  std::uint32_t non_crash_completion_event;  // unused by this system
};

#pragma pack(pop)

static_assert(sizeof(ExceptionInfoBlock) == 12);
static_assert(sizeof(ClientToServerMessage) == 36);
static_assert(sizeof(ServerToClientMessage) == 12);
