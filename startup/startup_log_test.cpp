// Start-up's lines in the diagnostic log: mounts with their entry counts,
// and hook transactions that fail, naming the function.
#include "startup/startup_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "hooking/hook_transaction.h"
#include "overlay/overlay_registry.h"
#include "platform/diagnostic_log.h"
#include "startup/process_globals.h"
#include "tools/xp3/xp3_writer.h"

namespace {

std::string Temp(const std::string& name) {
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  return std::string(directory) + name + std::to_string(GetCurrentProcessId());
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class StartupLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = Temp("startup-log-") + ".log";
    DeleteFileA(log_.c_str());
    ASSERT_TRUE(DiagnosticLogOpen(log_.c_str()));
  }
  void TearDown() override {
    DiagnosticLogClose();
    DeleteFileA(log_.c_str());
    for (const std::string& archive : archives_) DeleteFileA(archive.c_str());
  }
  std::string Archive(const std::string& name, const std::vector<std::string>& entries) {
    const std::string path = Temp(name) + ".xp3";
    Xp3Writer writer(Xp3WriterOptions{});
    std::string error;
    EXPECT_TRUE(writer.Open(path, &error)) << error;
    for (const std::string& entry : entries) {
      EXPECT_TRUE(writer.AddEntry(entry, entry.data(), entry.size(), &error));
    }
    EXPECT_TRUE(writer.Finish(&error)) << error;
    archives_.push_back(path);
    return path;
  }
  std::string log_;
  std::vector<std::string> archives_;
};

TEST_F(StartupLogTest, MountsAreLoggedWithTheirEntriesAndWhatTheyTookOver) {
  OverlayRegistry registry("C:\\Game");
  const std::string first = Archive("first-", {"data/a.txt", "data/b.txt"});
  const std::string second = Archive("second-", {"DATA/A.TXT", "data/c.txt", "data/d.txt"});
  MountOrExitLogged(registry, first);
  MountOrExitLogged(registry, second);
  const std::vector<std::string> lines = Lines(log_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] mounted " + first + ": 2 entries; 2 new paths, 0 replacing"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("] mounted " + second + ": 3 entries; 2 new paths, 1 replacing"),
            std::string::npos)
      << lines[1];
}

TEST_F(StartupLogTest, AFailedTransactionNamesTheFunction) {
  HookTable& table = TheHookTable();
  const auto real_read = table.file.ReadFile;
  table.file.ReadFile = nullptr;  // a slot the engine refuses
  ASSERT_EQ(HookTransactionBegin(), 0u);
  HookAttach(SlotOf(table.file.ReadFile), reinterpret_cast<PVOID>(&Lines));
  PVOID* failed_slot = nullptr;
  const DWORD result = HookCommitWithFailedSlot(&failed_slot);
  EXPECT_NE(result, 0u);
  SetLastError(4321);
  LogHookTransaction("file hooks", result, failed_slot);
  EXPECT_EQ(GetLastError(), 4321u) << "logging must not change the last error";
  table.file.ReadFile = real_read;

  const std::vector<std::string> lines = Lines(log_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] hook transaction (file hooks): FAILED, nothing of it applied: "),
            std::string::npos)
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(", at ReadFile")) << lines[0];
}

TEST_F(StartupLogTest, NothingIsWrittenWhileTheLogIsOff) {
  DiagnosticLogClose();
  OverlayRegistry registry("C:\\Game");
  MountOrExitLogged(registry, Archive("quiet-", {"a.txt"}));
  EXPECT_TRUE(registry.Exists(L"a.txt"));
  EXPECT_TRUE(Lines(log_).empty());
}

}  // namespace
