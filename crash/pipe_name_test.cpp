// The one rule for crash-handler pipe names, the announced name as start-up
// reads it, and the check a reply's crash event must pass.
#include "crash/pipe_name.h"

#include <gtest/gtest.h>

#include <string>

#include "crash/crash_client.h"
#include "platform/platform.h"

namespace {

std::wstring NameOfLength(std::size_t length) {
  std::wstring name = L"\\\\.\\pipe\\";
  name.append(length - name.size(), L'n');
  return name;
}

TEST(PipeNameTest, OnlyLocalPipesOfAtMost511CharactersAreAccepted) {
  for (const std::wstring& name :
       {std::wstring(L"\\\\.\\pipe\\crash-handler-12"), std::wstring(L"\\\\.\\PIPE\\x"),
        std::wstring(L"\\\\.\\pipe\\a.b c"), NameOfLength(511)}) {
    EXPECT_EQ(PipeNameRefusal(name), nullptr) << name.size();
  }
  EXPECT_STREQ(PipeNameRefusal(NameOfLength(512)), "longer than 511 characters");
  const wchar_t* remote_or_other[] = {
      L"\\\\192.0.2.1\\pipe\\x",      // another machine
      L"\\\\?\\pipe\\x",              // not the \\.\ form
      L"//./pipe/x",                  // slashes would be turned into separators
      L"\\\\.\\pipe\\..\\UNC\\h\\x",  // ".." would climb out of the pipe device
      L"\\\\.\\pipe\\a/..\\..\\C:",   //
      L"\\\\.\\pipe\\..",             //
      L"\\\\.\\pipe\\.",              //
      L"\\\\.\\pipe\\",               // no name
      L"\\\\.\\pipex",                //
      L"\\\\.\\mailslot\\x",          //
      L"pipe\\x",                     //
      L"",                            //
  };
  for (const wchar_t* name : remote_or_other) {
    EXPECT_STREQ(PipeNameRefusal(name), "not a local pipe name (\\\\.\\pipe\\NAME)") << name;
  }
}

TEST(PipeNameTest, AnnouncedNameIsReadWholeWhateverItsLength) {
  std::wstring name;
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", nullptr);
  EXPECT_FALSE(ReadAnnouncedPipeName(&name));
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", L"");
  EXPECT_FALSE(ReadAnnouncedPipeName(&name));
  for (std::size_t length : {10u, 511u, 512u, 600u, 5000u}) {
    const std::wstring value = NameOfLength(length);
    ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", value.c_str());
    name.clear();
    EXPECT_TRUE(ReadAnnouncedPipeName(&name)) << length;
    EXPECT_EQ(name, value) << length;  // a long one is refused by the rule, not read as empty
  }
  ::SetEnvironmentVariableW(L"CRASHPAD_PIPE_NAME", nullptr);
}

TEST(CrashEventCheckTest, OnlyAnEventThisProcessMaySignalIsAccepted) {
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(IsSignallableEvent(event));
  HANDLE wait_only = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), &wait_only,
                                SYNCHRONIZE, FALSE, 0));
  EXPECT_FALSE(IsSignallableEvent(wait_only));
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, nullptr);
  EXPECT_FALSE(IsSignallableEvent(mutex));
  for (std::uintptr_t value :
       {std::uintptr_t{0}, std::uintptr_t{0x12345678}, ~std::uintptr_t{0}, ~std::uintptr_t{1}}) {
    EXPECT_FALSE(IsSignallableEvent(reinterpret_cast<HANDLE>(value))) << value;
  }
  ::CloseHandle(mutex);
  ::CloseHandle(wait_only);
  ::CloseHandle(event);
  EXPECT_FALSE(IsSignallableEvent(event));  // closed
}

}  // namespace
