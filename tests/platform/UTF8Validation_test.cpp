#include "platform/UTF8Validation.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tamsenor::detail {
namespace {

struct UTF8Case {
  std::string text;
  bool valid;
};

TEST(UTF8Validation, AcceptsExactlyWellFormedText) {
  const UTF8Case cases[] = {
      {"", true},
      {std::string("a\0b\x7f", 4), true},
      // The smallest and largest sequence of each length, and both sides of the surrogates.
      {"\xc2\x80", true},
      {"\xdf\xbf", true},
      {"\xe0\xa0\x80", true},
      {"\xed\x9f\xbf", true},
      {"\xee\x80\x80", true},
      {"\xef\xbf\xbf", true},
      {"\xf0\x90\x80\x80", true},
      {"\xf4\x8f\xbf\xbf", true},
      {"caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80", true},
      {"\x80", false},  // continuation byte without a lead
      {"a\xbf", false},
      {"\xc0\xaf", false},  // overlong
      {"\xc1\xbf", false},
      {"\xe0\x9f\xbf", false},
      {"\xf0\x8f\xbf\xbf", false},
      {"\xed\xa0\x80", false},  // surrogate
      {"\xed\xbf\xbf", false},
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\xc3", false},  // cut short
      {"\xe2\x82", false},
      {"\xf0\x9f\x98", false},
      {"\xc3\x28", false},  // continuation byte missing
      {"\xe2\x28\xac", false},
      {"\xf0\x9f\x98\x28", false},
      {"ok\xc3\xa9\xc3", false},  // valid start, invalid end
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(isValidUTF8(text), valid) << ::testing::PrintToString(text);
  }
}

TEST(UTF8Validation, SequenceLengthCoversOnlyTheLeadingSequence) {
  EXPECT_EQ(utf8SequenceLength("\xc3\xa9z"), 2u);
  EXPECT_EQ(utf8SequenceLength("\xe2\x82\xac\xc3"), 3u);
  EXPECT_EQ(utf8SequenceLength("\xf0\x9f\x98\x80"), 4u);
  EXPECT_EQ(utf8SequenceLength("a"), 0u);
  EXPECT_EQ(utf8SequenceLength(""), 0u);
  EXPECT_EQ(utf8SequenceLength("\xe2\x82"), 0u);
}

}  // namespace
}  // namespace tamsenor::detail
