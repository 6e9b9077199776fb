#include "tamsenor/http/URLSessionHTTPClient.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/FaultServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/SendAndWait.hpp"

namespace tamsenor {
namespace {

TEST(URLSessionHTTPClient, ClassifiesWhatATaskReceived) {
  const URL url = *URL::parse("https://a.example/");
  const auto http = std::make_shared<const HTTPURLResponse>(url, 503);
  const auto plain = std::make_shared<const URLResponse>(url);
  const URLError timeout(CURLE_OPERATION_TIMEDOUT, "Timeout was reached");
  const auto network = HTTPClientError::networkError(timeout);
  const auto unexpected = HTTPClientError::unexpectedResponseType();
  struct Row {
    std::optional<Data> body;
    std::shared_ptr<const URLResponse> response;
    std::optional<URLError> error;
    std::optional<HTTPClientError> expected;  // nothing: a success with that very response
  };
  const std::vector<Row> rows{{toData("body"), http, timeout, network},
                              {std::nullopt, nullptr, timeout, network},
                              {std::nullopt, http, std::nullopt, unexpected},
                              {toData("x"), nullptr, std::nullopt, unexpected},
                              {toData("x"), plain, std::nullopt, unexpected},
                              {std::nullopt, nullptr, std::nullopt, unexpected},
                              {Data{}, http, std::nullopt, std::nullopt}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const auto result =
        URLSessionHTTPClient::classify(rows[i].body, rows[i].response, rows[i].error);
    if (rows[i].expected) {
      ASSERT_FALSE(result.hasValue());
      EXPECT_EQ(result.error(), *rows[i].expected);
    } else {
      ASSERT_TRUE(result.hasValue());
      EXPECT_TRUE(result.value().body().empty());
      EXPECT_EQ(&result.value().response(), http.get());
    }
  }
}

// The session checks every attempt of a chain: a signed field it refuses fails each one unsent.
TEST(URLSessionHTTPClient, ARefusedRecordFailsEveryAttemptAndReachesNoServer) {
  testsupport::FaultServer server([](testsupport::FaultServer&, int) {});
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto session = URLSession::create(configuration);
  auto attempts = std::make_shared<std::atomic<std::size_t>>(0);
  auto client = testsupport::AttemptCountingHTTPClient::create(
                    URLSessionHTTPClient::create(session, "Refused/1"), attempts)
                    ->withAuthentication([](URLRequest request) {
                      request.setValue("Bearer tmsn-secret\r\nX-Injected: 1", "Authorization");
                      return request;
                    })
                    ->withRetries(2, StatusCodeRange(500, 599));
  const auto result = testsupport::sendAndWait(
      *client, URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/")));
  client.reset();
  testsupport::releaseSessionHere(session);
  ASSERT_FALSE(result.hasValue());
  EXPECT_EQ(result.error(),
            HTTPClientError::networkError(URLError(URLError::invalidHeaderField,
                                                   "header field \"Authorization\" has a value "
                                                   "holding a control character other than tab")));
  EXPECT_EQ(attempts->load(), 3u);
  EXPECT_EQ(server.acceptCount(), 0u);
}

}  // namespace
}  // namespace tamsenor
