#include "http/AuthenticatedHTTPClientDecorator.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/HTTPResultLog.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/testing/HTTPClientConformance.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using detail::AuthenticatedHTTPClientDecorator;

using testing::ScriptedHTTPClient;
using testsupport::HTTPResultLog;
using SignResult = Result<URLRequest, SigningFailure>;

URLRequest postRequest() {
  return V0Endpoint::POST(
             V0Endpoint::POST::send_sign_in_link{toData(R"({"email": "a"})"), "application/json"})
      .request();
}

SignResult addToken(URLRequest request) {
  request.setValue("Bearer t0k3n", "Authorization");
  return SignResult::success(std::move(request));
}

TEST(AuthenticatedHTTPClientDecorator, SendsTheSignedRecordAndDeliversTheAnswerUnchanged) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(201, "created");
  auto client = fake->withAuthentication(addToken);
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());

  EXPECT_EQ(log.lines(), (std::vector<std::string>{"201:created"}));
  ASSERT_EQ(fake->requestCount(), 1u);
  auto expected = postRequest();
  expected.setValue("Bearer t0k3n", "Authorization");
  EXPECT_EQ(fake->request(0), expected);
}

TEST(AuthenticatedHTTPClientDecorator, SigningThatChangesNothingIsTransparent) {
  auto fake = ScriptedHTTPClient::create();
  fake->failNext(HTTPClientError::networkError(URLError(-1009, "offline")));
  auto client =
      fake->withAuthentication([](URLRequest request) { return SignResult::success(request); });
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"networkError(offline)"}));
  EXPECT_EQ(fake->requests(), (std::vector<URLRequest>{postRequest()}));
}

// Every way a signing function can fail ends the same: one completion, before perform() returns,
// and nothing sent.
TEST(AuthenticatedHTTPClientDecorator,
     FailedSigningCompletesOnceBeforePerformReturnsSendingNothing) {
  const std::vector<std::pair<std::string, HTTPClient::SignRequest>> failures = {
      {"failure value", [](URLRequest) { return SignResult::failure(SigningFailure{}); }},
      {"std exception",
       [](URLRequest) -> SignResult { throw std::runtime_error("keychain locked"); }},
      {"non-std exception", [](URLRequest) -> SignResult { throw 42; }},
      {"empty function", HTTPClient::SignRequest{}},
  };
  for (const auto& [name, sign] : failures) {
    SCOPED_TRACE(name);
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(200);
    auto client = fake->withAuthentication(sign);
    bool returned = false;
    std::vector<std::string> seen;
    client->perform(postRequest(), [&](HTTPClientResult result) {
      seen.push_back((returned ? "after:" : "before:") +
                     (result ? std::string("success") : to_string(result.error())));
    });
    returned = true;
    EXPECT_EQ(seen, (std::vector<std::string>{"before:missingRequiredAuthentication"}));
    EXPECT_EQ(fake->requestCount(), 0u);
  }
}

TEST(AuthenticatedHTTPClientDecorator, ThrowingStyleSigningFunctionSignsAndFails) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(200, "ok");
  int calls = 0;
  auto client = fake->withAuthentication([&calls](URLRequest request) {
    if (++calls == 2) throw std::runtime_error("token expired");
    request.setValue("v1", "X-Signature");
    return request;
  });
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"200:ok", "missingRequiredAuthentication"}));
  ASSERT_EQ(fake->requestCount(), 1u);
  EXPECT_EQ(fake->request(0).value("x-signature"), "v1");
  EXPECT_EQ(calls, 2);
}

TEST(AuthenticatedHTTPClientDecorator, OwnsTheClientItWraps) {
  auto fake = ScriptedHTTPClient::create();
  std::weak_ptr<ScriptedHTTPClient> weakFake = fake;
  auto client = fake->withAuthentication(addToken);
  fake->answerNext(204);
  fake.reset();
  ASSERT_FALSE(weakFake.expired());
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"204:"}));
  client.reset();
  EXPECT_TRUE(weakFake.expired());
}

TEST(AuthenticatedHTTPClientDecorator, ReleasedAfterHandingOnTheAnswerStillArrives) {
  auto fake = ScriptedHTTPClient::create();
  auto client = fake->withAuthentication(addToken);
  std::weak_ptr<HTTPClient> weakClient = client;
  HTTPResultLog log;
  client->perform(postRequest(), log.completion());
  client.reset();
  EXPECT_TRUE(weakClient.expired());
  EXPECT_TRUE(fake->respond(0, 200, "late"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"200:late"}));
}

TEST(AuthenticatedHTTPClientDecorator, SignsOnSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  auto fake = ScriptedHTTPClient::create();
  for (int i = 0; i < kThreads * kPerThread; ++i) fake->answerNext(200);
  std::atomic<int> signings{0};
  auto client = fake->withAuthentication([&signings](URLRequest request) {
    request.setValue(std::to_string(++signings), "X-Signing");
    return SignResult::success(std::move(request));
  });
  HTTPResultLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) client->perform(postRequest(), log.completion());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(signings.load(), kThreads * kPerThread);
  EXPECT_EQ(log.count(), static_cast<std::size_t>(kThreads * kPerThread));
  std::vector<std::string> signatures;
  for (const auto& request : fake->requests()) {
    signatures.emplace_back(request.value("X-Signing").value_or(""));
  }
  std::sort(signatures.begin(), signatures.end());
  EXPECT_EQ(std::unique(signatures.begin(), signatures.end()), signatures.end());
}

TEST(AuthenticatedHTTPClientDecorator, KeepsTheClientPromises) {
  EXPECT_THAT(testing::checkHTTPClientWrapperConformance([](std::shared_ptr<HTTPClient> wrapped) {
                return wrapped->withAuthentication(addToken);
              }),
              ::testing::IsEmpty());
}

}  // namespace
}  // namespace tamsenor
