// Search patterns against the system's own matching: every pattern, over a
// directory of names that hold characters legal in names and special in
// other pattern languages (';' separates the shell's pattern lists), must
// select exactly the names the system's search of that directory on disk
// selects. (A pattern holding '~' could also meet the short names the
// system makes up for long names, which archive files do not have.)
#include "overlay/search_pattern.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

namespace {

std::set<std::wstring> SystemMatches(const std::wstring& directory, const std::wstring& pattern) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW((directory + L"\\" + pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.insert(name);
  } while (FindNextFileW(h, &data));
  FindClose(h);
  return names;
}

TEST(SearchPattern, SelectsWhatTheSystemsSearchSelects) {
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"search-pattern-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  const std::wstring names[] = {L"a;b.txt",   L"a b.txt",      L" lead.txt", L"x,y.txt",
                                L"p+q=r.txt", L"[1].txt",      L"#hash",     L"tilde~1.txt",
                                L"noext",     L"two.dots.txt", L"UPPER.TXT", L"\u00fcn\u00ef.txt",
                                L"semi;",     L"amp&'q.dat",   L"ab",        L"abc"};
  for (const std::wstring& name : names) {
    HANDLE h = CreateFileW((directory + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
  }
  const wchar_t* patterns[] = {
      L"*",         L"*.*",      L"a;b*",     L"*;*",       L"a b*",
      L"* *",       L"*,*",      L"*[1]*",    L"[1].txt",   L"#*",
      L"tilde~1.*", L"noext.*",  L"*.txt",    L"*.TXT",     L"\u00dcN\u00cf.TXT",
      L"two.*",     L"*.dots.*", L"?;?.txt",  L"semi;",     L"a?",
      L"a??",       L"*+*=*",    L"amp&'q.*", L"a;b.txt;x", L" lead*",
      L"p+q=r.txt"};
  for (const wchar_t* pattern : patterns) {
    std::set<std::wstring> ours;
    for (const std::wstring& name : names) {
      if (MatchesSearchPattern(name.c_str(), pattern)) ours.insert(name);
    }
    std::string shown;
    for (const wchar_t* p = pattern; *p != 0; ++p) shown += *p < 128 ? static_cast<char>(*p) : '#';
    EXPECT_EQ(ours, SystemMatches(directory, pattern)) << "pattern \"" << shown << "\"";
  }
  for (const std::wstring& name : names) DeleteFileW((directory + L"\\" + name).c_str());
  RemoveDirectoryW(directory.c_str());
}

}  // namespace
