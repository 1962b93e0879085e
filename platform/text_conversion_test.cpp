#include "platform/text_conversion.h"

#include <gtest/gtest.h>

#include "platform/utf8_boundary_cases.h"

namespace {

TEST(TextConversion, EmptyInputConvertsToEmptyOutputInBothDirections) {
  std::string narrow = "stale";
  WideString wide = {u'x'};
  EXPECT_TRUE(WideToMultiByte(WideString(), CP_UTF8, WC_ERR_INVALID_CHARS, &narrow));
  EXPECT_TRUE(narrow.empty());
  EXPECT_TRUE(MultiByteToWide(std::string(), CP_UTF8, MB_ERR_INVALID_CHARS, &wide));
  EXPECT_TRUE(wide.empty());
}

TEST(TextConversion, RoundTripsChineseAndSupplementaryCharacters) {
  // "数据/图.png" plus U+1F600 (a surrogate pair in UTF-16).
  const std::string utf8 = "\xE6\x95\xB0\xE6\x8D\xAE/\xE5\x9B\xBE.png\xF0\x9F\x98\x80";
  WideString wide;
  ASSERT_TRUE(FromUtf8(utf8, &wide));
  EXPECT_EQ(wide.size(), 8u + 2u);
  EXPECT_EQ(wide[0], 0x6570);
  EXPECT_EQ(wide[8], 0xD83D);
  std::string back;
  ASSERT_TRUE(ToUtf8(wide, &back));
  EXPECT_EQ(back, utf8);
}

TEST(TextConversion, UnpairedSurrogateFailsWithEmptyOutput) {
  for (WideString bad :
       {WideString{u'a', 0xD800}, WideString{0xDC00, u'b'}, WideString{u'a', 0xD800, u'b'}}) {
    std::string out = "stale";
    EXPECT_FALSE(ToUtf8(bad, &out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(TextConversion, InvalidUtf8FailsWithEmptyOutput) {
  for (std::string bad :
       {std::string("\xFF"), std::string("ab\xC3"), std::string("\xC0\xAF"),
        std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string("\x80x")}) {
    WideString out = {u'x'};
    EXPECT_FALSE(FromUtf8(bad, &out)) << bad;
    EXPECT_TRUE(out.empty());
  }
}

// Both directions at every boundary of the encoding; invalid UTF-8 that
// encodes the same values wrongly (overlong forms, surrogates, beyond
// U+10FFFF) is refused.
TEST(TextConversion, ConvertsEveryBoundaryOfTheEncodingExactly) {
  for (const Utf8BoundaryCase& c : Utf8BoundaryCases()) {
    SCOPED_TRACE(testing::Message() << "first unit " << std::hex << unsigned(c.wide[0]));
    std::string narrow = "stale";
    EXPECT_EQ(ToUtf8(c.wide, &narrow), c.valid);
    EXPECT_EQ(narrow, c.utf8);
    if (!c.valid) continue;
    WideString back;
    EXPECT_TRUE(FromUtf8(c.utf8, &back));
    EXPECT_EQ(back, c.wide);
  }
  for (std::string bad : {"\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                          "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"}) {
    WideString out;
    EXPECT_FALSE(FromUtf8(bad, &out)) << testing::PrintToString(bad);
  }
  for (std::string good : {"\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                           "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    WideString out;
    EXPECT_TRUE(FromUtf8(good, &out)) << testing::PrintToString(good);
  }
}

TEST(TextConversion, EmbeddedZeroIsKept) {
  WideString wide;
  ASSERT_TRUE(FromUtf8(std::string("a\0b", 3), &wide));
  EXPECT_EQ(wide.size(), 3u);
}

TEST(TextConversion, SafeFlagsFollowTheCodePageRule) {
  EXPECT_EQ(SafeDecodeFlags(8, 50220), 0u);
  EXPECT_EQ(SafeDecodeFlags(8, 57011), 0u);
  EXPECT_EQ(SafeDecodeFlags(8, 65000), 0u);
  EXPECT_EQ(SafeDecodeFlags(8, 65001), 8u);
  EXPECT_EQ(SafeDecodeFlags(0x88, 54936), 8u);
  EXPECT_EQ(SafeDecodeFlags(8, 1252), 8u);
  EXPECT_EQ(SafeEncodeFlags(0x88, 65001), 0x80u);
  EXPECT_EQ(SafeEncodeFlags(0x80, 42), 0u);
  EXPECT_EQ(SafeEncodeFlags(0x81, 936), 0x81u);
  // CP_ACP/CP_OEMCP are resolved for the decision; neither is a refusing page.
  EXPECT_EQ(SafeDecodeFlags(8, CP_ACP), 8u);
  EXPECT_EQ(SafeDecodeFlags(8, CP_OEMCP), 8u);
}

}  // namespace
