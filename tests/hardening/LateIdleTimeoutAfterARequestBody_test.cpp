// Fixed fault: after sending a request body, a silent server was detected some six seconds past
// the request's timeout interval, because libcurl's speed check averages over five seconds and
// still counted the body's bytes. The interval is idleness, so it must hold with a body too.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;

TEST(LateIdleTimeoutAfterARequestBody, ASilentServerTimesOutWithinTheIntervalWhateverTheBody) {
  FaultServer server([](FaultServer& self, int connection) {
    (void)self.readRequestHead(connection);
    self.waitUntilStopped();
  });
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto client = URLSessionHTTPClient::create(URLSession::create(configuration), "Idle/1");
  for (const std::size_t bodySize : {std::size_t{0}, std::size_t{32}, std::size_t{64 * 1024}}) {
    URLRequest request(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
    request.setHTTPMethod("POST");
    request.setHTTPBody(Data(bodySize, std::uint8_t{'b'}));
    request.setTimeoutInterval(1.0);
    auto results = std::make_shared<CompletionRecorder<HTTPClientResult>>();
    const auto started = std::chrono::steady_clock::now();
    client->perform(request,
                    [results](HTTPClientResult result) { results->record(std::move(result)); });
    ASSERT_TRUE(results->waitFor(1, 20s));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const auto result = results->entries().front().value;
    ASSERT_FALSE(result.hasValue()) << bodySize;
    ASSERT_TRUE(result.error().underlyingError().has_value());
    EXPECT_EQ(result.error().underlyingError()->code(), 28) << result.error();
    EXPECT_GE(elapsed, 900ms) << bodySize;
    EXPECT_LT(elapsed, 2500ms) << bodySize << " byte body";
  }
}

}  // namespace
}  // namespace tamsenor
