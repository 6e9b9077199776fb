#include "tamsenor/http/URLRequest.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tamsenor
