#include "tamsenor/http/HTTPClientError.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tamsenor {
namespace {

TEST(HTTPClientError, TextualFormIsTheBareCaseNameWithoutPayload) {
  EXPECT_EQ(to_string(HTTPClientError::unexpectedResponseType()), "unexpectedResponseType");
  EXPECT_EQ(to_string(HTTPClientError::missingRequiredAuthentication()),
            "missingRequiredAuthentication");
}

TEST(HTTPClientError, NetworkErrorWrapsTheUnderlyingDescriptionInParentheses) {
  const auto error = HTTPClientError::networkError(URLError(7, "Couldn't connect to server"));
  EXPECT_EQ(to_string(error), "networkError(Couldn't connect to server)");
  // Even an empty description keeps the form non-empty and unambiguous.
  EXPECT_EQ(to_string(HTTPClientError::networkError(URLError(0, ""))), "networkError()");
}

TEST(HTTPClientError, StreamsItsTextualForm) {
  std::ostringstream out;
  out << HTTPClientError::networkError(URLError(28, "Timeout")) << '|'
      << HTTPClientError::Case::missingRequiredAuthentication;
  EXPECT_EQ(out.str(), "networkError(Timeout)|missingRequiredAuthentication");
}

TEST(HTTPClientError, CasesKeepTheirDeclaredOrder) {
  EXPECT_EQ(static_cast<int>(HTTPClientError::Case::networkError), 0);
  EXPECT_EQ(static_cast<int>(HTTPClientError::Case::unexpectedResponseType), 1);
  EXPECT_EQ(static_cast<int>(HTTPClientError::Case::missingRequiredAuthentication), 2);
}

TEST(HTTPClientError, OnlyNetworkErrorCarriesTheTransportErrorUnchanged) {
  const URLError underlying(56, "Failure when receiving data from the peer");
  const auto error = HTTPClientError::networkError(underlying);
  EXPECT_EQ(error.kind(), HTTPClientError::Case::networkError);
  ASSERT_TRUE(error.underlyingError().has_value());
  EXPECT_EQ(*error.underlyingError(), underlying);
  EXPECT_FALSE(HTTPClientError::unexpectedResponseType().underlyingError().has_value());
  EXPECT_NE(HTTPClientError::networkError(URLError(56, "a")),
            HTTPClientError::networkError(URLError(56, "b")));
}

}  // namespace
}  // namespace tamsenor
