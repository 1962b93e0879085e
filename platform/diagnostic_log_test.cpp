// The diagnostic log: off unless asked for, one whole line per call from any
// thread, and invisible to the caller's error state.
#include "platform/diagnostic_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string TempLogPath(const char* name) {
#ifdef _WIN32
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  return std::string(directory) + name + std::to_string(GetCurrentProcessId()) + ".log";
#else
  const char* directory = std::getenv("TMPDIR");
  return std::string(directory != nullptr ? directory : "/tmp") + "/" + name +
         std::to_string(::getpid()) + ".log";
#endif
}

void SetVariable(const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA("XP3PATCH_LOG", value);
#else
  if (value == nullptr) {
    unsetenv("XP3PATCH_LOG");
  } else {
    setenv("XP3PATCH_LOG", value, 1);
  }
#endif
}

// The text after the line's prefix, "YYYY-MM-DD hh:mm:ss.mmm [thread N] ",
// with the thread id in `*thread`; empty when the prefix is malformed.
std::string TextAfterPrefix(const std::string& line, std::string* thread = nullptr) {
  const std::string shape = "####-##-## ##:##:##.### [thread ";
  if (line.size() < shape.size()) return "";
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '#' ? !digit : line[i] != shape[i]) return "";
  }
  const size_t close = line.find("] ", shape.size());
  if (close == std::string::npos || close == shape.size()) return "";
  const std::string id = line.substr(shape.size(), close - shape.size());
  if (id.find_first_not_of("0123456789") != std::string::npos) return "";
  if (thread != nullptr) *thread = id;
  return line.substr(close + 2);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class DiagnosticLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TempLogPath("diagnostic-log-test-");
    std::remove(path_.c_str());
  }
  void TearDown() override {
    DiagnosticLogClose();
    SetVariable(nullptr);
    std::remove(path_.c_str());
  }
  std::string path_;
};

TEST_F(DiagnosticLogTest, IsOffWithoutTheVariableAndWritesNothing) {
  SetVariable(nullptr);
  EXPECT_FALSE(DiagnosticLogStart());
  EXPECT_FALSE(DiagnosticLogEnabled());
  DiagnosticLogWrite("never %d", 1);
  SetVariable("");
  EXPECT_FALSE(DiagnosticLogStart());
  EXPECT_FALSE(DiagnosticLogEnabled());
  EXPECT_FALSE(std::ifstream(path_).good());
}

TEST_F(DiagnosticLogTest, TheVariableNamesTheFileAndLinesAreAppended) {
  {
    std::ofstream earlier(path_, std::ios::binary);
    earlier << "earlier run\n";
  }
  SetVariable(path_.c_str());
  ASSERT_TRUE(DiagnosticLogStart());
  EXPECT_TRUE(DiagnosticLogEnabled());
  DiagnosticLogWrite("mounted %s: %d entries", "patch.xp3", 3);
  DiagnosticLogClose();
  EXPECT_FALSE(DiagnosticLogEnabled());
  DiagnosticLogWrite("after close");

  const std::vector<std::string> lines = Lines(path_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier run");
  // Local time to the millisecond, then the thread id, then the text.
  EXPECT_EQ(TextAfterPrefix(lines[1]), "mounted patch.xp3: 3 entries") << lines[1];
}

TEST_F(DiagnosticLogTest, AFileThatCannotBeOpenedIsRememberedWithWhy) {
#ifdef _WIN32
  const std::string missing = path_ + ".missing-folder\\patch.log";
  const unsigned long not_found = ERROR_PATH_NOT_FOUND;
#else
  const std::string missing = path_ + ".missing-folder/patch.log";
  const unsigned long not_found = ENOENT;
#endif
  SetVariable(missing.c_str());
  EXPECT_FALSE(DiagnosticLogStart());
  EXPECT_FALSE(DiagnosticLogEnabled());
  EXPECT_EQ(std::string(DiagnosticLogFailedPath()), missing);
  EXPECT_EQ(DiagnosticLogFailedError(), not_found);
}

TEST_F(DiagnosticLogTest, NeverChangesTheLastErrorOrErrno) {
  ASSERT_TRUE(DiagnosticLogOpen(path_.c_str()));
  SetLastError(1234);
  errno = 42;
  DiagnosticLogWrite("a line");
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(errno, 42);
  // Opening a file that cannot be made fails quietly as well.
  SetLastError(77);
  EXPECT_FALSE(DiagnosticLogOpen((path_ + "-no-such-dir/x/y.log").c_str()));
  EXPECT_EQ(GetLastError(), 77u);
  EXPECT_FALSE(DiagnosticLogEnabled());
}

TEST_F(DiagnosticLogTest, ALongLineIsCutButStaysOneLine) {
  ASSERT_TRUE(DiagnosticLogOpen(path_.c_str()));
  DiagnosticLogWrite("%s", std::string(10000, 'x').c_str());
  DiagnosticLogWrite("next");
  DiagnosticLogClose();
  const std::vector<std::string> lines = Lines(path_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_LT(lines[0].size(), 2100u);
  EXPECT_TRUE(lines[0].ends_with("x [cut]"));
  EXPECT_TRUE(lines[1].ends_with("] next"));
}

TEST_F(DiagnosticLogTest, LinesFromManyThreadsNeverInterleave) {
  ASSERT_TRUE(DiagnosticLogOpen(path_.c_str()));
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        DiagnosticLogWrite("writer %d line %d %s", t, i,
                           std::string(100 + t * 10, 'a' + t).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  DiagnosticLogClose();

  const std::vector<std::string> lines = Lines(path_);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::set<std::string> thread_ids;
  for (const std::string& line : lines) {
    std::string thread;
    const std::string text = TextAfterPrefix(line, &thread);
    int writer = -1;
    int number = -1;
    char filler[400] = {};
    ASSERT_EQ(std::sscanf(text.c_str(), "writer %d line %d %399s", &writer, &number, filler), 3)
        << line;
    ASSERT_TRUE(writer >= 0 && writer < kThreads) << line;
    EXPECT_EQ(std::string(filler), std::string(100 + writer * 10, 'a' + writer)) << line;
    thread_ids.insert(thread);
  }
  EXPECT_EQ(thread_ids.size(), static_cast<size_t>(kThreads));
}

}  // namespace
