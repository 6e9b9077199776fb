#include "tamsenor/testing/ScriptedHTTPClient.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::testing {
namespace {

URLRequest someRequest() {
  return V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = 42}).request();
}

TEST(ScriptedHTTPClient, QueuedAnswersCompleteInsidePerformInOrder) {
  auto client = ScriptedHTTPClient::create();
  client->answerNext(503, "busy");
  client->failNext(HTTPClientError::unexpectedResponseType());

  std::vector<std::string> seen;
  auto record = [&](HTTPClientResult result) {
    seen.push_back(result ? std::to_string(result.value().response().statusCode()) + ":" +
                                std::string(asText(result.value().body()))
                          : to_string(result.error()));
  };
  client->perform(someRequest(), record);
  client->perform(someRequest(), record);
  EXPECT_EQ(seen, (std::vector<std::string>{"503:busy", "unexpectedResponseType"}));
  EXPECT_EQ(client->requestCount(), 2u);
  EXPECT_EQ(client->pendingCount(), 0u);
}

TEST(ScriptedHTTPClient, HeldRequestCompletesOnceWhenSettled) {
  auto client = ScriptedHTTPClient::create();
  int calls = 0;
  std::int64_t status = 0;
  client->perform(someRequest(), [&](HTTPClientResult result) {
    ++calls;
    status = result.value().response().statusCode();
  });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(client->pendingCount(), 1u);
  EXPECT_EQ(client->request(0).url().absoluteString(),
            "https://api.tamsenor.com/v0/research_interests/42/stats");

  EXPECT_TRUE(client->respond(0, 200, "{}"));
  EXPECT_FALSE(client->respond(0, 500));
  EXPECT_FALSE(client->fail(0, HTTPClientError::missingRequiredAuthentication()));
  EXPECT_FALSE(client->respond(1, 200));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(status, 200);
}

TEST(ScriptedHTTPClient, DroppedRequestNeverCompletes) {
  auto client = ScriptedHTTPClient::create();
  int calls = 0;
  client->perform(someRequest(), [&](HTTPClientResult) { ++calls; });
  EXPECT_TRUE(client->drop(0));
  EXPECT_FALSE(client->respond(0, 200));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(client->pendingCount(), 0u);
}

TEST(ScriptedHTTPClient, RequestsSettledFromOtherThreadsCompleteExactlyOnceEach) {
  auto client = ScriptedHTTPClient::create();
  constexpr int kRequests = 200;
  std::vector<std::atomic<int>> calls(kRequests);
  for (int i = 0; i < kRequests; ++i) {
    client->perform(someRequest(),
                    [&calls, i](HTTPClientResult) { ++calls[static_cast<std::size_t>(i)]; });
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    // Every thread tries to settle every request; only the first settlement may win.
    threads.emplace_back([&client] {
      for (std::size_t i = 0; i < kRequests; ++i) (void)client->respond(i, 200);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& count : calls) EXPECT_EQ(count.load(), 1);
}

}  // namespace
}  // namespace tamsenor::testing
