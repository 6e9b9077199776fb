#include "tamsenor/platform/URLRequest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tamsenor {
namespace {

URL exampleURL() { return *URL::parse("https://api.example.test/v0/things"); }

TEST(URLRequest, NewRecordIsAGetWithoutHeadersOrBody) {
  const URLRequest request(exampleURL());
  EXPECT_EQ(request.httpMethod(), "GET");
  EXPECT_TRUE(request.allHTTPHeaderFields().empty());
  EXPECT_FALSE(request.httpBody().has_value());
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::useProtocolCachePolicy);
  EXPECT_EQ(request.timeoutInterval(), 60.0);
}

TEST(URLRequest, CachePolicyRawValuesAreZeroAndOne) {
  EXPECT_EQ(static_cast<int>(URLRequestCachePolicy::useProtocolCachePolicy), 0);
  EXPECT_EQ(static_cast<int>(URLRequestCachePolicy::reloadIgnoringLocalCacheData), 1);
}

TEST(URLRequest, CopiesAreIndependent) {
  URLRequest original(exampleURL());
  original.setValue("application/json", "Content-Type");
  original.setHTTPBody(toData("{}"));

  URLRequest copy = original;
  copy.setValue("text/plain", "content-type");
  copy.setValue("secret", "Authorization");
  copy.setHTTPBody(toData("changed"));
  copy.setHTTPMethod("POST");
  copy.setTimeoutInterval(5);

  EXPECT_EQ(original.value("Content-Type"), "application/json");
  EXPECT_FALSE(original.value("Authorization").has_value());
  EXPECT_EQ(original.httpBody(), toData("{}"));
  EXPECT_EQ(original.httpMethod(), "GET");
  EXPECT_EQ(original.timeoutInterval(), 60.0);
  EXPECT_NE(original, copy);
}

TEST(URLRequest, SetValueReplacesCaseInsensitively) {
  URLRequest request(exampleURL());
  request.setValue("text/html", "Accept");
  request.setValue("application/json", "ACCEPT");
  EXPECT_EQ(request.allHTTPHeaderFields().size(), 1u);
  EXPECT_EQ(request.value("accept"), "application/json");
}

TEST(URLRequest, EmptyBodyDiffersFromAbsentBody) {
  URLRequest withEmpty(exampleURL());
  withEmpty.setHTTPBody(Data{});
  const URLRequest withNone(exampleURL());
  ASSERT_TRUE(withEmpty.httpBody().has_value());
  EXPECT_TRUE(withEmpty.httpBody()->empty());
  EXPECT_NE(withEmpty, withNone);

  withEmpty.setHTTPBody(std::nullopt);
  EXPECT_EQ(withEmpty, withNone);
}

TEST(URLRequest, EqualityTreatsHeaderFieldsAsAMapWithCaseInsensitiveNames) {
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    Fields left;
    Fields right;
    bool equal;
  };
  const auto withFields = [](const Fields& fields) {
    URLRequest request(exampleURL());
    for (const auto& [name, value] : fields) request.setValue(value, name);
    return request;
  };
  for (const auto& c : std::vector<Case>{
           {{{"Accept", "a"}, {"X-Trace", "t"}}, {{"X-Trace", "t"}, {"Accept", "a"}}, true},
           {{{"Accept", "a"}, {"X-Trace", "t"}}, {{"x-trace", "t"}, {"ACCEPT", "a"}}, true},
           {{{"Accept", "a"}, {"accept", "b"}}, {{"ACCEPT", "b"}}, true},
           {{}, {}, true},
           {{{"Accept", "a"}}, {{"Accept", "A"}}, false},
           {{{"Accept", "a"}}, {{"Accept", "a"}, {"X-Trace", "t"}}, false},
           {{{"Accept", "a"}, {"X-Trace", "t"}}, {{"Accept", "a"}, {"X-Trace", ""}}, false},
           {{{"Accept", "a"}, {"X-Trace", "t"}}, {{"Accept", "a"}, {"X-Other", "t"}}, false},
           {{{"Accept", ""}}, {}, false},
       }) {
    EXPECT_EQ(withFields(c.left) == withFields(c.right), c.equal);
    EXPECT_EQ(withFields(c.right) == withFields(c.left), c.equal);
  }
}

}  // namespace
}  // namespace tamsenor
