#include "tamsenor/platform/HTTPHeaderFields.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace tamsenor {
namespace {

// Fields from "name:value" words, appended in order.
HTTPHeaderFields fieldsOf(const std::string& words) {
  HTTPHeaderFields fields;
  std::istringstream in(words);
  for (std::string w; in >> w;) fields.append(w.substr(0, w.find(':')), w.substr(w.find(':') + 1));
  return fields;
}

// Names match whatever their ASCII case; bytes outside ASCII match only as they are.
TEST(HTTPHeaderFields, SetReplacesInPlaceAppendRepeatsRemoveDropsAll) {
  auto fields = fieldsOf("Accept:html Set-Cookie:a=1 set-cookie:b=2 X-\xC3\xA9:");
  fields.set("ACCEPT", "json");
  EXPECT_EQ(fields, fieldsOf("Accept:json Set-Cookie:a=1 set-cookie:b=2 X-\xC3\xA9:"));
  EXPECT_EQ(fields.begin()->first, "Accept");
  EXPECT_EQ(fields.value("sET-cOOKIE"), "a=1");
  EXPECT_EQ(fields.value("x-\xC3\xA9"), "");
  EXPECT_EQ(fields.value("X-\xC3\x89"), std::nullopt);
  EXPECT_EQ(fields.value("Accep"), std::nullopt);
  EXPECT_TRUE(fields.remove("SET-COOKIE"));
  EXPECT_FALSE(fields.remove("Set-Cookie"));
  EXPECT_EQ(fields.size(), 2u);
}

// Fields compare as maps do, whatever their order and the case of their names; the k-th repeat
// of a name pairs with the k-th on the other side.
TEST(HTTPHeaderFields, EqualityPairsFieldsByNameAndRepeat) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"Accept:a X-Trace:t", "x-trace:t ACCEPT:a", true},
      {"Accept:a", "Accept:A", false},
      {"Accept:a", "Accept:a X-Trace:t", false},
      {"Accept:a X-Trace:t", "Accept:a X-Other:t", false},
      {"C:1 c:2 X:3", "X:3 C:1 C:2", true},
      {"C:1 C:2", "C:2 C:1", false},
      {"C:1 C:2", "C:1 X:2", false},
  };
  for (const auto& [left, right, equal] : rows) {
    SCOPED_TRACE(std::string(left) + " vs " + right);
    EXPECT_EQ(fieldsOf(left) == fieldsOf(right), equal);
    EXPECT_EQ(fieldsOf(right) == fieldsOf(left), equal);
  }
}

}  // namespace
}  // namespace tamsenor
