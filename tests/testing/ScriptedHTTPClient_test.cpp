#include "tamsenor/testing/ScriptedHTTPClient.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::testing {
namespace {

const URLRequest kRequest =
    V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = 42}).request();

TEST(ScriptedHTTPClient, AnswersQueuedAtOnceAndHeldOnesWhenSettledOnceEach) {
  auto client = ScriptedHTTPClient::create();
  client->answerNext(503, "busy");
  client->failNext(HTTPClientError::unexpectedResponseType());
  std::vector<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    client->perform(kRequest,
                    [&](HTTPClientResult r) { seen.push_back(testsupport::describe(r)); });
  }
  EXPECT_EQ(client->pendingCount(), 2u);
  EXPECT_TRUE(client->respond(2, 200, "{}"));
  EXPECT_FALSE(client->respond(2, 500) ||
               client->fail(2, HTTPClientError::unexpectedResponseType()));
  EXPECT_TRUE(client->drop(3));  // never completes
  EXPECT_FALSE(client->respond(3, 200) || client->respond(4, 200));
  EXPECT_EQ(seen, (std::vector<std::string>{"503:busy", "unexpectedResponseType", "200:{}"}));
  EXPECT_EQ(client->pendingCount(), 0u);
  EXPECT_EQ(client->requests(), std::vector<URLRequest>(4, kRequest));
}

TEST(ScriptedHTTPClient, RequestsSettledFromSeveralThreadsCompleteOnceEach) {
  auto client = ScriptedHTTPClient::create();
  std::vector<std::atomic<int>> calls(200);
  for (auto& count : calls) client->perform(kRequest, [&count](HTTPClientResult) { ++count; });
  // Every thread tries to settle every request; only the first settlement may win.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = 0; i < calls.size(); ++i) (void)client->respond(i, 200);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& count : calls) EXPECT_EQ(count.load(), 1);
}

}  // namespace
}  // namespace tamsenor::testing
