#include "overlay/checked_text.h"

#include <gtest/gtest.h>

#include "platform/text_conversion.h"
#include "platform/utf8_boundary_cases.h"

namespace {

WideString Units(std::initializer_list<unsigned> units) {
  WideString text;
  for (unsigned unit : units) text += static_cast<WCHAR>(unit);
  return text;
}

TEST(CheckedText, AgreesWithTheStrictConversionsAndFailsOnlyOnInvalidText) {
  const WideString wide[] = {Units({}),
                             Units({'d', 'a', 't', 'a', '\\', 'b', 'g'}),
                             Units({0x4E2D, 0x6587}),
                             Units({0xD83D, 0xDE00}),
                             Units({'a', 0xD800}),
                             Units({0xDC00, 'b'})};
  for (const WideString& in : wide) {
    std::string expected;
    std::string got = "stale";
    EXPECT_EQ(ToUtf8OrThrow(in, &got), ToUtf8(in, &expected));
    EXPECT_EQ(got, expected);
  }
  const std::string narrow[] = {"",      "data/bg.png", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                "a\xC3", "\xED\xA0\x80"};
  for (const std::string& in : narrow) {
    WideString expected;
    WideString got = Units({'s'});
    EXPECT_EQ(FromUtf8OrThrow(in, &got), FromUtf8(in, &expected)) << in;
    EXPECT_EQ(got, expected) << in;
  }
}

TEST(CheckedText, EncodesEveryBoundaryOfUtf8Exactly) {
  for (const Utf8BoundaryCase& c : Utf8BoundaryCases()) {
    std::string got = "stale";
    EXPECT_EQ(ToUtf8OrThrow(c.wide, &got), c.valid) << c.utf8;
    if (!c.valid) continue;
    EXPECT_EQ(got, c.utf8);
    WideString back;
    EXPECT_TRUE(FromUtf8OrThrow(c.utf8, &back));
    EXPECT_EQ(back, c.wide);
  }
}

}  // namespace
