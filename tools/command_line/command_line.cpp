#include "tools/command_line/command_line.h"

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;  // backslashes alone mean nothing special
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      // The run before a quote is doubled, and the quote escaped.
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  // The run before the closing quote is doubled, so that the quote closes.
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) {
      line += L' ' + QuoteArgument(arguments[i]);
      continue;
    }
    // The program's name is split by a simpler rule (up to the closing
    // quote, backslashes as they are), which a quote-free path satisfies.
    const std::wstring& program = arguments[0];
    if (program.empty() || program.find_first_of(L" \t") != std::wstring::npos) {
      line += L"\"" + program + L"\"";
    } else {
      line += program;
    }
  }
  return line;
}
