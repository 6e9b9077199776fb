#include "tamsenor/http/HTTPClient.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/HTTPResultLog.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using testing::ScriptedHTTPClient;
using testsupport::HTTPResultLog;
using Lines = std::vector<std::string>;
using SignResult = Result<URLRequest, SigningFailure>;

const StatusCodeRange kServerErrors(500, 599);

URLRequest postRequest() {
  return V0Endpoint::POST(
             V0Endpoint::POST::send_sign_in_link{toData(R"({"email": "a"})"), "application/json"})
      .request();
}

// Stamps each signing with its number, so the records show which signing they went out with.
HTTPClient::SignRequest numberedSigning(int& signings) {
  return [&signings](URLRequest request) {
    request.setValue("sig-" + std::to_string(++signings), "Authorization");
    return SignResult::success(std::move(request));
  };
}

std::vector<std::string> authorizations(const ScriptedHTTPClient& fake) {
  std::vector<std::string> values;
  for (const auto& request : fake.requests()) {
    values.emplace_back(request.value("Authorization").value_or("<none>"));
  }
  return values;
}

TEST(HTTPClientSuccess, RefusesANullResponse) {
  EXPECT_THROW(HTTPClientSuccess(toData("body"), nullptr), std::invalid_argument);
}

TEST(HTTPClient, WithRetriesZeroIsTheReceiverItself) {
  auto fake = ScriptedHTTPClient::create();
  std::shared_ptr<HTTPClient> receiver = fake;
  auto client = receiver->withRetries(0, kServerErrors);
  EXPECT_EQ(client, receiver);
  fake->answerNext(503, "busy");
  fake->answerNext(200);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"503:busy"});
  EXPECT_EQ(fake->requestCount(), 1u);
}

// A client that answers inside perform() makes every retry one level deeper on the answering
// thread's stack; the deepest chain allowed must fit on a thread like the session's loop thread.
TEST(HTTPClient, TheDeepestRetryChainAnsweredAtOnceFitsOnAThreadStackAndReleasesCleanly) {
  auto fake = ScriptedHTTPClient::create();
  for (std::uint64_t i = 0; i <= HTTPClient::kMaxRetryCount; ++i) fake->answerNext(503);
  HTTPResultLog log;
  std::thread([&] {
    auto chain = fake->withRetries(HTTPClient::kMaxRetryCount, kServerErrors);
    chain->perform(postRequest(), log.completion());
  }).join();
  EXPECT_EQ(log.lines(), Lines{"503:"});
  EXPECT_EQ(fake->requestCount(), HTTPClient::kMaxRetryCount + 1);
  EXPECT_THROW((void)fake->withRetries(HTTPClient::kMaxRetryCount + 1, kServerErrors),
               std::invalid_argument);
  EXPECT_THROW((void)fake->withRetries(1'000'000, kServerErrors), std::invalid_argument);
}

TEST(HTTPClient, WithRetriesBuildsNothingAndSendsNothing) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withRetries(5, kServerErrors);
  EXPECT_NE(client, std::shared_ptr<HTTPClient>(fake));
  EXPECT_EQ(fake->requestCount(), 0u);
  auto signedClient = fake->withAuthentication(
      [](URLRequest) -> SignResult { throw std::logic_error("must not run"); });
  EXPECT_EQ(fake->requestCount(), 0u);
}

TEST(HTTPClient, RetriesOnTopOfSigningSignEveryAttempt) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(503);
  fake->answerNext(503);
  fake->answerNext(200, "ok");
  int signings = 0;
  auto client = fake->withAuthentication(numberedSigning(signings))->withRetries(2, kServerErrors);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"200:ok"});
  EXPECT_EQ(signings, 3);
  EXPECT_EQ(authorizations(*fake), (Lines{"sig-1", "sig-2", "sig-3"}));
}

TEST(HTTPClient, SigningOnTopOfRetriesSignsOnce) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(503);
  fake->answerNext(503);
  fake->answerNext(200, "ok");
  int signings = 0;
  auto client = fake->withRetries(2, kServerErrors)->withAuthentication(numberedSigning(signings));
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), Lines{"200:ok"});
  EXPECT_EQ(signings, 1);
  EXPECT_EQ(authorizations(*fake), (Lines{"sig-1", "sig-1", "sig-1"}));
}

// missingRequiredAuthentication is a failure like any other to the retries above it, so every
// attempt tries to sign again and none is sent.
TEST(HTTPClient, RetriesOnTopOfFailingSigningTryToSignEveryAttempt) {
  auto fake = ScriptedHTTPClient::create();
  int signings = 0;
  auto client = fake->withAuthentication([&signings](URLRequest) {
                      ++signings;
                      return SignResult::failure(SigningFailure{});
                    })
                    ->withRetries(2, kServerErrors);
  bool returned = false;
  Lines seen;
  client->perform(postRequest(), [&](HTTPClientResult result) {
    seen.push_back((returned ? "after:" : "before:") + to_string(result.error()));
  });
  returned = true;
  EXPECT_EQ(seen, Lines{"before:missingRequiredAuthentication"});
  EXPECT_EQ(signings, 3);
  EXPECT_EQ(fake->requestCount(), 0u);
}

TEST(HTTPClient, StacksKeepTheReceiverAliveAndReleaseItWithTheLastWrapper) {
  auto fake = ScriptedHTTPClient::create();
  std::weak_ptr<HTTPClient> weakFake = fake;
  int signings = 0;
  auto client = fake->withAuthentication(numberedSigning(signings))->withRetries(3, kServerErrors);
  fake.reset();
  EXPECT_FALSE(weakFake.expired());
  client.reset();
  EXPECT_TRUE(weakFake.expired());
}

}  // namespace
}  // namespace tamsenor
