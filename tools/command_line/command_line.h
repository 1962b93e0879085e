// Building a Windows command line from separate arguments, so that the
// started program's runtime splits it back into exactly those arguments.
// The launcher and the crash handler start the game this way; an argument
// must reach the game as the player gave it, whatever spaces, tabs, quotes
// and backslashes it holds, and however empty it is.
//
// The rule the runtime splits by: an argument holding a space or a tab, or
// an empty one, is put in quotes; a quote inside is written \"; backslashes
// count only before a quote, where each is doubled (so n backslashes before
// a quote inside the argument become 2n+1 with the quote, and n backslashes
// at the end of a quoted argument become 2n before the closing quote).
#pragma once

#include <string>
#include <vector>

// One argument, quoted where the rule above needs it.
std::wstring QuoteArgument(const std::wstring& argument);

// The command line of `arguments`, the program first: each quoted as above,
// separated by single spaces. The program's path is quoted whole when it
// holds a space or a tab (a path holds no quote).
std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments);
