// Command lines built from arguments split back into the same arguments by
// the system's own splitter, which follows the runtime's rule.
#include "tools/command_line/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Split(const std::wstring& line) {
  int count = 0;
  wchar_t** split = ::CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(split[i]);
  ::LocalFree(split);
  return arguments;
}

TEST(CommandLineTest, EveryArgumentComesBackAsItWas) {
  const std::vector<std::wstring> arguments = {
      L"C:\\Program Files\\Game\\game.exe",
      L"plain",
      L"two words",
      L"",
      L"tab\there",
      L"\"quoted\"",
      L"name=a\\\" --inject-me \"",
      L"a\\\\\"b",
      L"trailing\\",
      L"trailing space\\",
      L"trailing two\\\\",
      L"C:\\dir\\",
      L"\\\\server\\share",
      L"\\\"",
      L"\"",
      L"\\",
      L" ",
      L"\u4e2d\u6587 \u00e9",
  };
  const std::wstring line = JoinCommandLine(arguments);
  EXPECT_EQ(Split(line), arguments) << std::string(line.begin(), line.end());
}

TEST(CommandLineTest, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(QuoteArgument(L"C:\\dir\\file"), L"C:\\dir\\file");
  EXPECT_EQ(QuoteArgument(L""), L"\"\"");
  EXPECT_EQ(QuoteArgument(L"a b\\"), L"\"a b\\\\\"");
  EXPECT_EQ(QuoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
  EXPECT_EQ(JoinCommandLine({L"C:\\My Games\\g.exe", L"x"}), L"\"C:\\My Games\\g.exe\" x");
}

}  // namespace
