#include "tools/crash_handler/exit_code_text.h"

#include <gtest/gtest.h>

TEST(ExitCodeText, ProgramCodesInDecimalStatusCodesInHexWithTheirNames) {
  EXPECT_EQ(ExitCodeText(0), "0");
  EXPECT_EQ(ExitCodeText(3), "3");
  EXPECT_EQ(ExitCodeText(0xC0000005u), "0xC0000005 (access violation)");
  EXPECT_EQ(ExitCodeText(3221225501u), "0xC000001D (illegal instruction)");
  EXPECT_EQ(ExitCodeText(0xFFFF7001u), "0xFFFF7001");
}
