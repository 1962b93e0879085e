// Prints the arguments it received, one per line between < and >, and how
// many there were: what the argument tests compare with what was given.
#include <cstdio>
#include <string>

#include "platform/text_conversion.h"

int wmain(int argc, wchar_t** argv) {
  std::printf("%d arguments\n", argc - 1);
  for (int i = 1; i < argc; ++i) {
    std::string text;
    if (!ToUtf8(argv[i], &text)) text = "(not UTF-16)";
    std::printf("<%s>\n", text.c_str());
  }
  return 0;
}
