#include "support/UTF8Validation.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tamsenor::detail {
namespace {

// The smallest and largest sequence of each length, both sides of the surrogates and of U+10FFFF;
// then lone, overlong, surrogate, too large, cut short and broken sequences.
TEST(UTF8Validation, AcceptsExactlyWellFormedText) {
  EXPECT_TRUE(isValidUTF8(std::string("a\0b\x7f", 4)));
  for (const char* text :
       {"", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
        "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80"}) {
    EXPECT_TRUE(isValidUTF8(text)) << ::testing::PrintToString(text);
  }
  for (const char* text :
       {"\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xc2\x7f",
        "\xc2\xc0", "\xe2\x82\x7f", "\xe2\x82\xc0", "\xf0\x9f\x98\x7f", "ok\xc3\xa9\xc3"}) {
    EXPECT_FALSE(isValidUTF8(text)) << ::testing::PrintToString(text);
  }
  // The leading sequence's length alone; 0 for ASCII or nothing.
  EXPECT_EQ(utf8SequenceLength("\xc3\xa9z"), 2u);
  EXPECT_EQ(utf8SequenceLength("\xf0\x9f\x98\x80\xc3"), 4u);
  EXPECT_EQ(utf8SequenceLength("a"), 0u);
  EXPECT_EQ(utf8SequenceLength(""), 0u);
}

}  // namespace
}  // namespace tamsenor::detail
