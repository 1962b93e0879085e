// JSON strings stay valid whatever bytes a name holds.
#include "tools/xp3/json_text.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonText, EscapesWhatJsonRequiresAndKeepsUtf8) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("tab\there\nnew\x01\x1f"), "\"tab\\there\\nnew\\u0001\\u001f\"");
  // Two-, three- and four-byte sequences pass through untouched.
  EXPECT_EQ(JsonString("\xC3\xA4 \xE6\x96\x87 \xF0\x9F\x98\x80"),
            "\"\xC3\xA4 \xE6\x96\x87 \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
  EXPECT_EQ(JsonHex32(0x0a1b2c3d), "\"0a1b2c3d\"");
}

TEST(JsonText, BytesOutsideValidUtf8BecomeReplacementCharacters) {
  const std::string replacement = "\xEF\xBF\xBD";
  // A Latin-1 byte, a stray continuation byte, a sequence cut short at the
  // end, an overlong slash, an encoded surrogate, a code point past U+10FFFF.
  EXPECT_EQ(JsonString("caf\xE9.txt"), "\"caf" + replacement + ".txt\"");
  EXPECT_EQ(JsonString("\x80"), "\"" + replacement + "\"");
  EXPECT_EQ(JsonString("x\xE6\x96"), "\"x" + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"" + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xF4\x90\x80\x80").size(), 2 + 4 * replacement.size());
  // A bad byte does not swallow the quote or the valid text after it.
  EXPECT_EQ(JsonString("\xE6\"a"), "\"" + replacement + "\\\"a\"");
}

}  // namespace
