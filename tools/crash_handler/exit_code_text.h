// How the crash handler names an exit code on a player's console: small
// codes (a program's own, 0, 1, 3) in decimal, and codes with the high bits
// of a Windows status (an exception code, or a status the system ended the
// program with) as 0xXXXXXXXX, with the usual name when there is one:
// "0xC0000005 (access violation)". A crash report's code and the code the
// game ended with then read the same.
#pragma once

#include <cstdint>
#include <string>

std::string ExitCodeText(std::uint32_t code);

// The usual name of an exception or status code, or null.
const char* ExceptionCodeName(std::uint32_t code);
