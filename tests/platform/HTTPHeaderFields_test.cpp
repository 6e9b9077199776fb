#include "tamsenor/platform/HTTPHeaderFields.hpp"

#include <gtest/gtest.h>

#include "platform/ASCIICase.hpp"

namespace tamsenor {
namespace {

TEST(HTTPHeaderFields, SetReplacesAFieldWhateverTheCaseOfItsName) {
  HTTPHeaderFields fields;
  fields.set("Accept", "text/html");
  fields.set("X-Trace", "1");
  fields.set("accept", "application/json");
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields.value("ACCEPT"), "application/json");
  // The field keeps its first place and spelling.
  EXPECT_EQ(fields.begin()->first, "Accept");
  EXPECT_EQ(fields.begin()->second, "application/json");
}

TEST(HTTPHeaderFields, ValueOfAMissingFieldIsAbsentNotEmpty) {
  HTTPHeaderFields fields;
  fields.set("X-Empty", "");
  EXPECT_EQ(fields.value("x-empty"), "");
  EXPECT_FALSE(fields.value("X-Missing").has_value());
}

TEST(HTTPHeaderFields, AppendKeepsRepeatedFieldsAndRemoveDropsAllOfThem) {
  HTTPHeaderFields fields;
  fields.append("Set-Cookie", "a=1");
  fields.append("set-cookie", "b=2");
  EXPECT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields.value("Set-Cookie"), "a=1");
  // Repeats of a field pair up in order; a repeat is not the same as a field set once.
  HTTPHeaderFields same, swapped, once;
  same.append("SET-COOKIE", "a=1");
  same.append("Set-Cookie", "b=2");
  swapped.append("Set-Cookie", "b=2");
  swapped.append("Set-Cookie", "a=1");
  once.set("Set-Cookie", "a=1");
  once.set("X-Other", "b=2");
  EXPECT_EQ(fields, same);
  EXPECT_NE(fields, swapped);
  EXPECT_NE(fields, once);
  EXPECT_NE(once, fields);
  EXPECT_TRUE(fields.remove("SET-COOKIE"));
  EXPECT_TRUE(fields.empty());
  EXPECT_FALSE(fields.remove("Set-Cookie"));
}

TEST(HTTPHeaderFields, NamesCompareOnlyByASCIICase) {
  using detail::equalsIgnoringASCIICase;
  EXPECT_TRUE(equalsIgnoringASCIICase("Content-Type", "cONTENT-tYPE"));
  EXPECT_FALSE(equalsIgnoringASCIICase("Content-Type", "Content-Typ"));
  // Bytes outside ASCII are compared as they are.
  EXPECT_FALSE(equalsIgnoringASCIICase("\xC3\xA9", "\xC3\x89"));
}

}  // namespace
}  // namespace tamsenor
