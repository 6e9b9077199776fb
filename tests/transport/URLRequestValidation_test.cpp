#include "platform/URLRequestValidation.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamsenor::detail {
namespace {

const std::vector<std::string> httpAndHTTPS{"http", "HTTPS"};

URLRequest requestTo(const char* text) { return URLRequest(*URL::parse(text)); }

TEST(URLRequestValidation, AcceptsAnOrdinaryRecord) {
  auto request = requestTo("https://api.example/v0/x");
  request.setHTTPMethod("POST");
  request.setValue("application/json", "Content-Type");
  request.setValue("", "X-Empty");
  request.setValue("tab\tand \"quotes\" are fine", "X-Odd_Name.1~!#$%&'*+^`|");
  EXPECT_EQ(validateRequest(request, httpAndHTTPS), std::nullopt);
  EXPECT_EQ(validateRequest(requestTo("HTTP://api.example/"), httpAndHTTPS), std::nullopt);
}

TEST(URLRequestValidation, AllowsOnlyListedHTTPSchemes) {
  const std::vector<std::string> httpsOnly{"https"};
  EXPECT_EQ(
      validateRequest(requestTo("http://api.example/"), httpsOnly),
      URLError(URLError::unsupportedScheme, "URL scheme \"http\" is not allowed in this session"));
  // Listing a scheme that is not HTTP does not make it sendable.
  const std::vector<std::string> withFile{"https", "file"};
  EXPECT_EQ(
      validateRequest(requestTo("file://host/etc/passwd"), withFile),
      URLError(URLError::unsupportedScheme, "URL scheme \"file\" is not allowed in this session"));
  EXPECT_EQ(
      validateRequest(requestTo("https://api.example/"), {}),
      URLError(URLError::unsupportedScheme, "URL scheme \"https\" is not allowed in this session"));
}

TEST(URLRequestValidation, RefusesAMethodThatIsNotAToken) {
  auto request = requestTo("https://api.example/");
  request.setHTTPMethod("GET /other HTTP/1.1\r\n");
  EXPECT_EQ(validateRequest(request, httpAndHTTPS),
            URLError(URLError::invalidHTTPMethod,
                     "HTTP method \"GET\\x20/other\\x20HTTP/1.1\\x0d\\x0a\" is not an HTTP token"));
  request.setHTTPMethod("");
  EXPECT_EQ(validateRequest(request, httpAndHTTPS)->code(), URLError::invalidHTTPMethod);
}

TEST(URLRequestValidation, RefusesFieldsTheTransportWritesWhateverTheirCase) {
  for (const char* name : {"Host", "content-length", "Transfer-Encoding", "CONNECTION", "Expect"}) {
    auto request = requestTo("https://api.example/");
    request.setValue("x", name);
    EXPECT_EQ(validateRequest(request, httpAndHTTPS),
              URLError(URLError::invalidHeaderField, std::string("header field \"") + name +
                                                         "\" is written by the transport itself"));
  }
}

TEST(URLRequestValidation, RefusesLineBreaksAndNulInValuesWithoutQuotingTheValue) {
  for (std::string value : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
    auto request = requestTo("https://api.example/");
    request.setValue("fine", "X-Before");
    request.setValue(value, "Authorization");
    const auto error = validateRequest(request, httpAndHTTPS);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, URLError(URLError::invalidHeaderField,
                               "header field \"Authorization\" has a value holding CR, LF or NUL"));
  }
}

TEST(URLRequestValidation, RefusesNamesThatAreNotTokensAndEscapesThem) {
  struct Case {
    std::string name;
    std::string description;
  };
  for (const auto& c : std::vector<Case>{
           {"X-A\r\nX-B", "header field name \"X-A\\x0d\\x0aX-B\" is not an HTTP token"},
           {"X:A", "header field name \"X:A\" is not an HTTP token"},
           {"", "header field name \"\" is not an HTTP token"},
           {"Caf\xc3\xa9", "header field name \"Caf\\xc3\\xa9\" is not an HTTP token"},
           {"(x)", "header field name \"(x)\" is not an HTTP token"}}) {
    auto request = requestTo("https://api.example/");
    request.setValue("v", c.name);
    EXPECT_EQ(validateRequest(request, httpAndHTTPS),
              URLError(URLError::invalidHeaderField, c.description));
  }
}

}  // namespace
}  // namespace tamsenor::detail
