#include "tools/crash_handler/exit_code_text.h"

#include <cstdio>

const char* ExceptionCodeName(std::uint32_t code) {
  switch (code) {
    case 0xC0000005u:
      return "access violation";
    case 0xC000001Du:
      return "illegal instruction";
    case 0xC0000096u:
      return "privileged instruction";
    case 0xC0000094u:
      return "integer division by zero";
    case 0xC0000095u:
      return "integer overflow";
    case 0xC000008Eu:
      return "floating-point division by zero";
    case 0xC00000FDu:
      return "stack overflow";
    case 0xC0000409u:
      return "stack buffer overrun";
    case 0xC0000374u:
      return "heap corruption";
    case 0xC0000006u:
      return "in-page error (a file the program ran from went away)";
    case 0xC0000135u:
      return "a DLL the program needs was not found";
    case 0xC0000142u:
      return "a DLL failed to initialise";
    case 0xC000013Au:
      return "ended with Ctrl+C";
    case 0x80000003u:
      return "breakpoint";
    case 0x40000015u:
      return "fatal application exit (abort)";
    case 0xE06D7363u:
      return "unhandled C++ exception";
  }
  return nullptr;
}

std::string ExitCodeText(std::uint32_t code) {
  // Below this a code is one a program chose itself; above it, it is
  // read as a status and only makes sense in hex.
  if (code < 0x10000u) return std::to_string(code);
  char text[24];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  const char* name = ExceptionCodeName(code);
  return name == nullptr ? std::string(text) : std::string(text) + " (" + name + ")";
}
