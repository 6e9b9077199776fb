// Services, chains and sessions let go at random moments while their requests are in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LiveCompletionToken.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::describe;
using testsupport::FaultServer;
using testsupport::LiveCompletionToken;

// Answers 200 "ok" after the microseconds "/delay/<n>" names; a raw server ThreadSanitizer sees.
void answerDelayed(FaultServer& server, int connection) {
  const auto request = server.readRequest(connection);
  if (!request) return;
  const auto at = request->find("/delay/");
  std::this_thread::sleep_for(std::chrono::microseconds(
      at == std::string::npos ? 0 : std::strtoul(request->c_str() + at + 7, nullptr, 10)));
  server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
}

// Every attempt goes to the delaying server, with a delay of up to 2 ms drawn from its number.
std::shared_ptr<HTTPClient> delayedClient(std::shared_ptr<URLSession> session,
                                          const FaultServer& server) {
  return testsupport::AttemptCountingHTTPClient::create(
      URLSessionHTTPClient::create(std::move(session), "Lifetimes/1"),
      std::make_shared<std::atomic<std::size_t>>(0),
      [port = std::to_string(server.port())](std::size_t attempt, URLRequest& request) {
        request.setURL(*URL::parse("http://127.0.0.1:" + port + "/delay/" +
                                   std::to_string((attempt * 2654435761u) % 2000)));
      });
}

TEST(ReleaseWhileInFlight, AThousandRandomReleasesLoseNothingAndCompleteNothingLate) {
  const char* given = std::getenv("TAMSENOR_SEED");
  const std::uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  std::printf("[ seed     ] %llu (set TAMSENOR_SEED to repeat)\n",
              static_cast<unsigned long long>(seed));
  std::mt19937_64 random(seed);

  FaultServer server(&answerDelayed);
  URLSessionConfiguration plainHTTP;
  plainHTTP.allowedSchemes = {"http"};
  auto sharedSession = URLSession::create(plainHTTP);
  auto shared = delayedClient(sharedSession, server);
  const URLRequest anyPath(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  // By completion of a released service or chain: calls, and calls that came late or wrong.
  struct Tally {
    explicit Tally(std::size_t completions) : calls(completions) {}
    std::vector<std::atomic<int>> calls;
    std::atomic<int> late{0}, wrong{0};
  };
  constexpr int kRounds = 1000;
  auto tally = std::make_shared<Tally>(kRounds * 3);
  std::size_t started = 0;
  const auto deadline = std::chrono::steady_clock::now() + 90s;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "round " << round << " of " << kRounds;
    const auto inFlight = static_cast<int>(random() % 3) + 1;
    const auto releaseAfter = std::chrono::microseconds(random() % 3000);
    std::shared_ptr<void> released;
    if (round % 3 == 2) {  // the session itself, through the only client that owns it
      auto lines = std::make_shared<testsupport::CompletionRecorder<std::string>>();
      // Recorded after any call that a completion could make.
      auto gone = testsupport::recordWhenGone(lines, std::string("gone"));
      auto client = delayedClient(URLSession::create(plainHTTP), server);
      for (int i = 0; i < inFlight; ++i) {
        client->perform(anyPath, [lines, gone, token = LiveCompletionToken()](
                                     HTTPClientResult result) { lines->record(describe(result)); });
      }
      gone.reset();
      std::this_thread::sleep_for(releaseAfter);
      client.reset();  // the session goes with it, and what it started is still answered
      ASSERT_TRUE(lines->waitFor(static_cast<std::size_t>(inFlight) + 1, 10s)) << "round " << round;
      auto expected = std::vector<std::string>(static_cast<std::size_t>(inFlight), "200:ok");
      expected.push_back("gone");
      ASSERT_EQ(lines->values(), expected) << "round " << round;
      continue;
    }
    std::weak_ptr<void> weak;
    const auto completion = [&](auto isRight) {
      return [weak, tally, isRight, id = started++, token = LiveCompletionToken()](auto outcome) {
        if (weak.expired()) ++tally->late;
        if (!isRight(outcome)) ++tally->wrong;
        ++tally->calls.at(id);
      };
    };
    if (round % 3 == 0) {  // a sign-in service over a signed retry chain
      auto service = RemoteMagicLinkSignInService::create(
          shared
              ->withAuthentication([](URLRequest request) {
                request.setValue("Bearer lifetimes", "Authorization");
                return request;
              })
              ->withRetries(2, StatusCodeRange(500, 599)),
          nullptr);
      weak = service;
      for (int i = 0; i < inFlight; ++i) {
        service->sendEmail("reader@example.org", completion([](auto error) { return !error; }));
      }
      released = std::move(service);
    } else {  // a bare retry chain
      auto chain = shared->withRetries(2, StatusCodeRange(500, 599));
      weak = chain;
      for (int i = 0; i < inFlight; ++i) {
        chain->perform(anyPath, completion([](const HTTPClientResult& result) {
                         return describe(result) == "200:ok";
                       }));
      }
      released = std::move(chain);
    }
    std::this_thread::sleep_for(releaseAfter);
    released.reset();
  }
  shared.reset();
  testsupport::releaseSessionHere(sharedSession);  // every handler has run; the rest is dropped
  EXPECT_EQ(tally->late.load(), 0);
  EXPECT_EQ(tally->wrong.load(), 0);
  std::size_t once = 0, more = 0;
  for (std::size_t id = 0; id < started; ++id) {
    once += tally->calls[id] == 1 ? 1u : 0u;
    more += tally->calls[id] > 1 ? 1u : 0u;
  }
  EXPECT_EQ(more, 0u) << "completions called more than once, of " << started;
  EXPECT_GT(once, 0u) << "no completion ran before its release: the checks above saw nothing";
}

}  // namespace
}  // namespace tamsenor
