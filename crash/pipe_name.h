// Which crash-handler pipe names this process will open, and reading the
// name a handler announces in "CRASHPAD_PIPE_NAME".
//
// Registration runs inside DllMain, under the loader lock, so the pipe must
// be one on this machine: a remote name (\\server\pipe\x) would make the
// system connect over the network with the user's credentials and network
// time-outs. Only \\.\pipe\NAME is accepted, where NAME is not empty, holds
// no '\' or '/' and is not "." or ".." (either would let the system's path
// rules turn the name into another device or a remote path), and the whole
// name fits the 512-character buffer the name was always read into: at most
// kMaxPipeNameLength characters. That one rule serves the start-up code and
// every other caller of the client.
#pragma once

#include <cstddef>
#include <string>

inline constexpr std::size_t kMaxPipeNameLength = 511;

// Why `name` is refused ("not a local pipe name (\\.\pipe\NAME)", "longer
// than 511 characters"), or null when it is acceptable.
const char* PipeNameRefusal(const std::wstring& name);

// The value of "CRASHPAD_PIPE_NAME", whole, whatever its length; false when
// the variable is unset or empty (no registration is wanted then). Whether
// the name is acceptable is decided by PipeNameRefusal when it is used.
bool ReadAnnouncedPipeName(std::wstring* name);
