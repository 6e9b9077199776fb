#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/HTTPResultLog.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/testing/HTTPClientConformance.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using detail::PrimaryWithFallbackHTTPClientComposer;

using testing::ScriptedHTTPClient;
using testsupport::HTTPResultLog;
using Lines = std::vector<std::string>;

const StatusCodeRange kServerErrors(500, 599);

URLRequest postRequest() {
  return V0Endpoint::POST(
             V0Endpoint::POST::send_sign_in_link{toData(R"({"email": "a"})"), "application/json"})
      .request();
}

TEST(PrimaryWithFallbackHTTPClientComposer, RetriesOnStatusInsideRangeAndDeliversTheLastAnswer) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(503, "first");
  fake->answerNext(502, "second");
  fake->answerNext(500, "third");
  fake->answerNext(200, "unused");
  HTTPResultLog log;
  fake->withRetries(2, kServerErrors)->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"500:third"});
  EXPECT_EQ(fake->requests(), (std::vector<URLRequest>(3, postRequest())));
}

TEST(PrimaryWithFallbackHTTPClientComposer, StopsAtTheFirstAnswerOutsideRange) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(503);
  fake->answerNext(200, "ok");
  fake->answerNext(200, "unused");
  HTTPResultLog log;
  fake->withRetries(2, kServerErrors)->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"200:ok"});
  EXPECT_EQ(fake->requestCount(), 2u);
}

TEST(PrimaryWithFallbackHTTPClientComposer, RetriesOnBothBoundsAndDeliversJustOutsideAtOnce) {
  for (const std::int64_t bound : {500, 599}) {
    SCOPED_TRACE(bound);
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(bound);
    fake->answerNext(200);
    HTTPResultLog log;
    fake->withRetries(1, kServerErrors)->perform(postRequest(), log.completion());
    EXPECT_EQ(log.lines(), Lines{"200:"});
    EXPECT_EQ(fake->requestCount(), 2u);
  }
  for (const std::int64_t outside : {499, 600}) {
    SCOPED_TRACE(outside);
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(outside, "as is");
    fake->answerNext(200);
    HTTPResultLog log;
    fake->withRetries(1, kServerErrors)->perform(postRequest(), log.completion());
    EXPECT_EQ(log.lines(), Lines{std::to_string(outside) + ":as is"});
    EXPECT_EQ(fake->requestCount(), 1u);
  }
}

TEST(PrimaryWithFallbackHTTPClientComposer, RangeContaining200RetriesSuccessesUpToTheCount) {
  auto fake = ScriptedHTTPClient::create();
  for (const char* body : {"1", "2", "3", "4", "5"}) fake->answerNext(200, body);
  HTTPResultLog log;
  fake->withRetries(3, StatusCodeRange(200, 599))->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"200:4"});
  EXPECT_EQ(fake->requestCount(), 4u);
}

TEST(PrimaryWithFallbackHTTPClientComposer,
     RetriesFailuresWhateverTheRangeAndDeliversTheLastError) {
  auto fake = ScriptedHTTPClient::create();
  fake->failNext(HTTPClientError::networkError(URLError(-1004, "could not connect")));
  fake->failNext(HTTPClientError::networkError(URLError(-1001, "timed out")));
  HTTPResultLog log;
  fake->withRetries(1, kServerErrors)->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"networkError(timed out)"});
  EXPECT_EQ(fake->requestCount(), 2u);
}

TEST(PrimaryWithFallbackHTTPClientComposer, LastAttemptDeliversAStatusInsideRange) {
  auto fake = ScriptedHTTPClient::create();
  fake->failNext(HTTPClientError::unexpectedResponseType());
  fake->answerNext(503, "still busy");
  HTTPResultLog log;
  fake->withRetries(1, kServerErrors)->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"503:still busy"});
}

TEST(PrimaryWithFallbackHTTPClientComposer, TriesTheFallbackOnlyWhenThePrimaryCallsForIt) {
  auto primary = ScriptedHTTPClient::create();
  auto fallback = ScriptedHTTPClient::create();
  auto composer = PrimaryWithFallbackHTTPClientComposer::create(primary, fallback, kServerErrors);
  primary->answerNext(404, "missing");
  primary->answerNext(500, "broken");
  fallback->answerNext(200, "from fallback");
  HTTPResultLog log;
  composer->perform(postRequest(), log.completion());
  composer->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), (Lines{"404:missing", "200:from fallback"}));
  EXPECT_EQ(primary->requestCount(), 2u);
  EXPECT_EQ(fallback->requests(), (std::vector<URLRequest>{postRequest()}));
}

TEST(PrimaryWithFallbackHTTPClientComposer, DeferredAttemptsRunOneAfterAnother) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(2, kServerErrors);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(fake->requestCount(), 1u);
  EXPECT_TRUE(fake->respond(0, 503));
  EXPECT_EQ(fake->requestCount(), 2u);
  EXPECT_EQ(fake->pendingCount(), 1u);
  EXPECT_TRUE(fake->fail(1, HTTPClientError::unexpectedResponseType()));
  EXPECT_EQ(fake->requestCount(), 3u);
  EXPECT_EQ(fake->pendingCount(), 1u);
  EXPECT_EQ(log.count(), 0u);
  EXPECT_TRUE(fake->respond(2, 200, "done"));
  EXPECT_EQ(log.lines(), Lines{"200:done"});
  EXPECT_EQ(fake->requests(), (std::vector<URLRequest>(3, postRequest())));
}

TEST(PrimaryWithFallbackHTTPClientComposer, ReleasedWhileFirstAttemptInFlightNeverCompletes) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(1, kServerErrors);
  std::weak_ptr<HTTPClient> weakClient = client;
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  client->perform(postRequest(), log.completion());
  client.reset();
  EXPECT_TRUE(weakClient.expired());
  EXPECT_TRUE(fake->respond(0, 200, "too late"));
  EXPECT_TRUE(fake->respond(1, 503));
  EXPECT_EQ(log.count(), 0u);
  EXPECT_EQ(fake->requestCount(), 2u);  // no fallback attempt either
}

TEST(PrimaryWithFallbackHTTPClientComposer, ReleasedDuringAMiddleAttemptNeverCompletes) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(2, kServerErrors);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_TRUE(fake->respond(0, 503));
  client.reset();
  EXPECT_TRUE(fake->respond(1, 503));
  EXPECT_EQ(log.count(), 0u);
  EXPECT_EQ(fake->requestCount(), 2u);
}

TEST(PrimaryWithFallbackHTTPClientComposer, ReleasedDuringTheLastAttemptStillDelivers) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(1, kServerErrors);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_TRUE(fake->respond(0, 503));
  client.reset();
  EXPECT_TRUE(fake->respond(1, 500, "last"));
  EXPECT_EQ(log.lines(), Lines{"500:last"});
}

TEST(PrimaryWithFallbackHTTPClientComposer, AnswersFromSeveralThreadsCompleteEachRequestOnce) {
  constexpr std::size_t kRequests = 40;
  constexpr std::size_t kThreads = 4;
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(2, kServerErrors);
  HTTPResultLog log;
  for (std::size_t i = 0; i < kRequests; ++i) {
    client->perform(postRequest(), log.completion(std::to_string(i)));
  }
  // Each thread answers its own share of the exchanges, retries included, with 503 until every
  // request has used up its attempts; bounded in rounds and time. A retry one thread causes may
  // fall in another thread's share, so no thread may give up while answers are missing: the
  // round limit is only a backstop far beyond what a loaded machine needs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 1'000'000 && log.count() < kRequests &&
                          std::chrono::steady_clock::now() < deadline;
           ++round) {
        const std::size_t count = fake->requestCount();
        for (std::size_t i = t; i < count; i += kThreads) (void)fake->respond(i, 503, "busy");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(fake->requestCount(), 3 * kRequests);
  EXPECT_EQ(fake->pendingCount(), 0u);
  auto lines = log.lines();
  std::sort(lines.begin(), lines.end());
  Lines expected;
  for (std::size_t i = 0; i < kRequests; ++i) expected.push_back(std::to_string(i) + "=503:busy");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

TEST(PrimaryWithFallbackHTTPClientComposer, KeepsTheClientPromises) {
  // Named members, not structured bindings: clang 14 refuses to capture a binding in a lambda.
  const struct {
    std::uint64_t count;
    StatusCodeRange range;
  } rows[] = {{1, kServerErrors}, {3, StatusCodeRange(200, 200)}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.count);
    EXPECT_THAT(
        testing::checkHTTPClientWrapperConformance([row](std::shared_ptr<HTTPClient> wrapped) {
          return wrapped->withRetries(row.count, row.range);
        }),
        ::testing::IsEmpty());
  }
}

}  // namespace
}  // namespace tamsenor
