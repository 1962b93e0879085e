// Hook transactions as start-up and detach run them: a failure is logged
// with its stage, slot and error; a success says nothing; a DLL kept loaded
// after a failed detach says why.
#include "startup/process_attach.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/log_message.h"
#include "hooking/hook_transaction.h"
#include "startup/process_globals.h"

namespace {

std::vector<std::string> g_lines;

bool RecordLine(int, const char*, int, size_t, const std::string& text) {
  g_lines.push_back(text);
  return true;
}

class RunHookTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    saved_hook_ = logging::LogLineHook;
    logging::LogLineHook = RecordLine;
  }
  void TearDown() override { logging::LogLineHook = saved_hook_; }

 private:
  logging::LogLineHookFunction saved_hook_ = nullptr;
};

TEST_F(RunHookTransactionTest, AFailureIsLoggedWithItsStageSlotAndError) {
  // GameEntry's slot is null here: detaching it fails with 6.
  HookTable& table = TheHookTable();
  ASSERT_EQ(table.GameEntry, nullptr);
  EXPECT_FALSE(RunHookTransaction("detach", [&] {
    HookDetach(SlotOf(table.GameEntry), reinterpret_cast<PVOID>(&HookedGameEntry));
  }));
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_NE(g_lines[0].find(":ERROR "), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[0].find("hook transaction of detach failed at slot GameEntry: "),
            std::string::npos)
      << g_lines[0];
  EXPECT_NE(g_lines[0].find("(6)"), std::string::npos) << g_lines[0];
}

TEST_F(RunHookTransactionTest, ASuccessLogsNothing) {
  bool queued = false;
  EXPECT_TRUE(RunHookTransaction("start-up", [&] { queued = true; }));
  EXPECT_TRUE(queued);
  EXPECT_TRUE(g_lines.empty());
}

// A detach that fails without the pin says so in the crash-reporting log as
// well (the pin itself is checked in a whole process).
TEST_F(RunHookTransactionTest, AFailedDetachWithoutThePinIsLogged) {
  StayLoadedAfterFailedDetach();
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_NE(g_lines[0].find(":ERROR "), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[0].find("the hooks could not be removed and the patch was not kept loaded"),
            std::string::npos)
      << g_lines[0];
}

}  // namespace
