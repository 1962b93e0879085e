// The system's own words for a Win32 error code, for the crash handler's
// messages: "The system cannot find the file specified (error 2)". Plain
// function; safe from any thread.
#pragma once

#include <string>

#include "platform/platform.h"

std::string SystemErrorText(DWORD code);

// "<what> failed: " and the text of GetLastError().
std::string LastErrorText(const std::string& what);
