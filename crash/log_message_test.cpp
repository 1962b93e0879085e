#include "crash/log_message.h"

#include <gtest/gtest.h>

#include <climits>
#include <regex>
#include <string>
#include <vector>

#include "crash/fixed_text.h"

namespace {

struct CapturedLine {
  int severity;
  std::string file;
  int line;
  std::size_t message_start;
  std::string text;
};

std::vector<CapturedLine> g_hooked;
std::vector<std::string> g_standard_error;
std::vector<std::wstring> g_debugger;
bool g_hook_result = true;

bool RecordingHook(int severity, const char* file, int line, std::size_t message_start,
                   const std::string& text) {
  g_hooked.push_back({severity, file, line, message_start, text});
  return g_hook_result;
}

void FixedTime(SYSTEMTIME* time) {
  *time = {};
  time->wYear = 2026;
  time->wMonth = 3;
  time->wDay = 7;
  time->wHour = 9;
  time->wMinute = 5;
  time->wSecond = 3;
  time->wMilliseconds = 42;
}
DWORD FixedProcessId() { return 1234; }
DWORD FixedThreadId() { return 5678; }
void RecordStandardError(const std::string& line) { g_standard_error.push_back(line); }
void RecordDebugger(const std::wstring& line) { g_debugger.push_back(line); }

class LogMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_environment_ = logging::g_log_environment;
    saved_mask_ = logging::LogOutputMask;
    saved_hook_ = logging::LogLineHook;
    logging::g_log_environment = {FixedTime, FixedProcessId, FixedThreadId, RecordStandardError,
                                  RecordDebugger};
    logging::LogLineHook = RecordingHook;
    g_hook_result = true;
    g_hooked.clear();
    g_standard_error.clear();
    g_debugger.clear();
  }
  void TearDown() override {
    logging::g_log_environment = saved_environment_;
    logging::LogOutputMask = saved_mask_;
    logging::LogLineHook = saved_hook_;
  }

  // Emits one message and returns the line the hook saw.
  static CapturedLine Emit(const char* file, int line, int severity, const char* text) {
    g_hooked.clear();
    logging::LogMessage(file, line, severity).stream() << text;
    EXPECT_EQ(g_hooked.size(), 1u);
    return g_hooked.empty() ? CapturedLine{} : g_hooked.back();
  }

 private:
  logging::LogEnvironment saved_environment_;
  std::uint32_t saved_mask_;
  logging::LogLineHookFunction saved_hook_;
};

TEST_F(LogMessageTest, LineCarriesIdsLocalTimeSeverityFileNameAndLine) {
  CapturedLine line = Emit("C:\\src\\crash/pipe_client", 42, logging::kError, "text");
  const std::string prefix = "[1234:5678:20260307,090503.042:ERROR pipe_client:42] ";
  EXPECT_EQ(line.text, prefix + "text\n");
  EXPECT_EQ(line.message_start, prefix.size());
  EXPECT_EQ(line.severity, logging::kError);
  EXPECT_EQ(line.file, "C:\\src\\crash/pipe_client");
  EXPECT_EQ(line.line, 42);
}

TEST_F(LogMessageTest, EverySeverityHasItsName) {
  const std::pair<int, const char*> cases[] = {
      {-2, "VERBOSE2"}, {-1, "VERBOSE1"},    {0, "INFO"}, {1, "WARNING"},
      {2, "ERROR"},     {3, "ERROR_REPORT"}, {4, "FATAL"}};
  for (const auto& [severity, name] : cases) {
    // FATAL survives only because the hook swallows the line.
    CapturedLine line = Emit("f", 7, severity, "x");
    EXPECT_EQ(line.text, std::string("[1234:5678:20260307,090503.042:") + name + " f:7] x\n");
  }
}

TEST_F(LogMessageTest, FileNameIsThePartAfterTheLastSeparatorOfEitherKind) {
  EXPECT_NE(Emit("a/b\\c", 1, 0, "").text.find(":INFO c:1] "), std::string::npos);
  EXPECT_NE(Emit("a\\b/c.cpp", 1, 0, "").text.find(":INFO c.cpp:1] "), std::string::npos);
  EXPECT_NE(Emit("plain.cpp", 1, 0, "").text.find(":INFO plain.cpp:1] "), std::string::npos);
  EXPECT_NE(Emit("dir/", 1, 0, "").text.find(":INFO :1] "), std::string::npos);
}

TEST_F(LogMessageTest, IntegersAreStreamedInDecimal) {
  logging::LogMessage("f", -3, logging::kError).stream()
      << "TransactNamedPipe: expected " << 12 << ", observed " << 8u;
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_hooked[0].text,
            "[1234:5678:20260307,090503.042:ERROR f:-3] TransactNamedPipe: expected 12, observed "
            "8\n");
}

TEST(Win32ErrorTextTest, KnownCodeIsTheSystemTextWithoutTrailingSpaceAndTheCode) {
  std::string text = logging::Win32ErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_GT(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), " (2)");
  std::string system_text = text.substr(0, text.size() - 4);
  EXPECT_FALSE(system_text.empty());
  EXPECT_NE(system_text.back(), ' ') << text;
  EXPECT_EQ(system_text.find('\n'), std::string::npos);

  wchar_t raw[256];
  DWORD written = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, ERROR_FILE_NOT_FOUND, 0, raw, 256, nullptr);
  ASSERT_GT(written, 0u);
  std::wstring expected(raw, written);
  if (expected.back() == L' ') expected.pop_back();
  EXPECT_EQ(system_text.size(), expected.size());  // ASCII system text
}

TEST(Win32ErrorTextTest, UnknownCodeReportsTheLookupFailure) {
  std::string text = logging::Win32ErrorText(0xDEADBEEF);
  EXPECT_TRUE(std::regex_match(text, std::regex("Error [1-9][0-9]* while retrieving error "
                                                "3735928559")))
      << text;
}

TEST_F(LogMessageTest, Win32ErrorMessageAppendsTheErrorText) {
  logging::Win32ErrorLogMessage("f", 1, logging::kError, ERROR_FILE_NOT_FOUND).stream()
      << "CreateFile";
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_hooked[0].text, "[1234:5678:20260307,090503.042:ERROR f:1] CreateFile: " +
                                  logging::Win32ErrorText(ERROR_FILE_NOT_FOUND) + "\n");
}

TEST_F(LogMessageTest, FailedChecksAreFatalWithTheExpressionText) {
  CRASH_CHECK(1 + 1 == 2) << "never streamed";
  EXPECT_TRUE(g_hooked.empty());

  CRASH_CHECK(1 + 1 == 3);
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_hooked[0].severity, logging::kFatal);
  EXPECT_EQ(g_hooked[0].text.substr(g_hooked[0].message_start), "Check failed: 1 + 1 == 3. \n");

  ::SetLastError(ERROR_ACCESS_DENIED);
  CRASH_CHECK_WIN32(false);
  ASSERT_EQ(g_hooked.size(), 2u);
  EXPECT_EQ(g_hooked[1].severity, logging::kFatal);
  EXPECT_EQ(g_hooked[1].text.substr(g_hooked[1].message_start),
            "Check failed: false. : " + logging::Win32ErrorText(ERROR_ACCESS_DENIED) + "\n");
}

TEST_F(LogMessageTest, MaskSelectsDestinations) {
  logging::LogLineHook = nullptr;

  logging::LogOutputMask = 1;
  logging::LogMessage("f", 1, logging::kError).stream() << "dropped";
  EXPECT_TRUE(g_standard_error.empty());
  EXPECT_TRUE(g_debugger.empty());

  logging::LogOutputMask = logging::kLogToStandardError;
  logging::LogMessage("f", 2, logging::kError).stream() << "to stderr";
  ASSERT_EQ(g_standard_error.size(), 1u);
  EXPECT_EQ(g_standard_error[0], "[1234:5678:20260307,090503.042:ERROR f:2] to stderr\n");
  EXPECT_TRUE(g_debugger.empty());

  logging::LogOutputMask = logging::kLogToDebugger | logging::kLogToStandardError;
  // "é" in UTF-8, then a byte that starts no valid sequence.
  logging::LogMessage("f", 3, logging::kInfo).stream() << "\xC3\xA9\xFF";
  ASSERT_EQ(g_debugger.size(), 1u);
  EXPECT_EQ(g_debugger[0], L"[1234:5678:20260307,090503.042:INFO f:3] \u00E9\uFFFD\n");
  EXPECT_EQ(g_standard_error.size(), 2u);
}

TEST_F(LogMessageTest, HookThatDeclinesLetsTheLineThrough) {
  g_hook_result = false;
  logging::LogOutputMask = logging::kLogToStandardError;
  logging::LogMessage("f", 1, logging::kWarning).stream() << "seen twice";
  EXPECT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_standard_error.size(), 1u);
}

TEST_F(LogMessageTest, ShippedSettingsSelectNothing) {
  TearDown();  // the values the library starts with
  EXPECT_EQ(logging::LogOutputMask, 1u);
  EXPECT_EQ(logging::LogLineHook, nullptr);
  SetUp();
}

TEST_F(LogMessageTest, LoggingCloseFileReportsCloseHandleFailure) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(logging::LoggingCloseFile(event));
  EXPECT_TRUE(g_hooked.empty());

  EXPECT_FALSE(logging::LoggingCloseFile(reinterpret_cast<HANDLE>(0x7FFC)));
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_hooked[0].severity, logging::kError);
  EXPECT_EQ(g_hooked[0].text.substr(g_hooked[0].message_start),
            "CloseHandle: " + logging::Win32ErrorText(ERROR_INVALID_HANDLE) + "\n");
}

TEST_F(LogMessageTest, CrashPathLineIsTheLineAMessageWouldGive) {
  CapturedLine message = Emit("C:\\src\\crash_handlers.cpp", 31, logging::kError, "gone");
  g_hooked.clear();
  logging::EmitCrashPathLine("C:\\src\\crash_handlers.cpp", 31, logging::kError, "gone");
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_EQ(g_hooked[0].text, message.text);
  EXPECT_EQ(g_hooked[0].message_start, message.message_start);
  EXPECT_EQ(g_hooked[0].line, 31);

  // Standard error is served, the debugger (whose output allocates) is not.
  logging::LogLineHook = nullptr;
  logging::LogOutputMask = logging::kLogToDebugger | logging::kLogToStandardError;
  logging::EmitCrashPathLine("f", 2, logging::kError, "to stderr");
  ASSERT_EQ(g_standard_error.size(), 1u);
  EXPECT_EQ(g_standard_error[0], "[1234:5678:20260307,090503.042:ERROR f:2] to stderr\n");
  EXPECT_TRUE(g_debugger.empty());
}

TEST_F(LogMessageTest, CrashPathLineTooLongForItsStorageIsCutButEndsTheLine) {
  const std::string text(2000, 'x');
  logging::EmitCrashPathLine("f", 1, logging::kError, text.c_str());
  ASSERT_EQ(g_hooked.size(), 1u);
  const std::string& line = g_hooked[0].text;
  EXPECT_EQ(line.size(), FixedText::kCapacity);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(0, g_hooked[0].message_start),
            "[1234:5678:20260307,090503.042:ERROR f:1] ");
}

TEST(FixedTextTest, NumbersPaddingAndTheCutAtCapacity) {
  FixedText text;
  text.AppendDecimal(LLONG_MIN).Append(' ').AppendDecimal(0).Append(' ').AppendUnsigned(7, 3);
  text.Append(' ').AppendUnsigned(12345, 2).Append(' ').AppendUnsigned(ULLONG_MAX);
  EXPECT_STREQ(text.c_str(), "-9223372036854775808 0 007 12345 18446744073709551615");
  EXPECT_FALSE(text.truncated());

  FixedText full;
  for (int i = 0; i < 100; ++i) full.Append("abcdefgh");
  EXPECT_EQ(full.size(), FixedText::kCapacity);
  EXPECT_TRUE(full.truncated());
  EXPECT_EQ(std::string(full.c_str()).size(), FixedText::kCapacity);
}

}  // namespace
