#include "tamsenor/testing/HTTPClientConformance.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor::testing {
namespace {

using Lines = std::vector<std::string>;

URLRequest someRequest() {
  return V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = 7}).request();
}

// Answers every waiting request of the fake, including those its answers start.
void answerAll(ScriptedHTTPClient& fake) {
  for (int round = 0; round < 100 && fake.pendingCount() > 0; ++round) {
    for (std::size_t i = 0; i < fake.requestCount(); ++i) (void)fake.respond(i, 200);
  }
}

TEST(HTTPClientConformance, ScriptedClientConforms) {
  EXPECT_THAT(checkHTTPClientConformance([] {
                auto fake = ScriptedHTTPClient::create();
                return ConformanceSubject{fake, someRequest(), [fake] { answerAll(*fake); }};
              }),
              ::testing::IsEmpty());
}

// Calls every completion twice: the fault the check exists to catch.
class TwiceCompletingClient final : public HTTPClient {
 public:
  void perform(URLRequest request, Completion completion) override {
    auto answer = ScriptedHTTPClient::makeAnswer(request, 200, "");
    completion(answer);
    completion(answer);
  }
};

TEST(HTTPClientConformance, ReportsEveryCompletionThatRunsTwice) {
  EXPECT_EQ(checkHTTPClientConformance([] {
              return ConformanceSubject{std::make_shared<TwiceCompletingClient>(), someRequest(),
                                        nullptr};
            }),
            (Lines{"one request: the completion ran 2 times, expected 1",
                   "three requests in flight: completion 0 ran 2 times, expected 1",
                   "three requests in flight: completion 1 ran 2 times, expected 1",
                   "three requests in flight: completion 2 ran 2 times, expected 1",
                   "perform() from a completion: the first completion ran 2 times, expected 1",
                   "perform() from a completion: the nested completion ran 4 times, expected 1",
                   "client released in flight: the completion ran 2 times"}));
}

TEST(HTTPClientConformance, ReportsCompletionsThatNeverRunWhileTheClientIsHeld) {
  EXPECT_EQ(checkHTTPClientConformance([] {
              auto fake = ScriptedHTTPClient::create();
              return ConformanceSubject{fake, someRequest(), [fake] {
                                          for (std::size_t i = 0; i < fake->requestCount(); ++i)
                                            (void)fake->drop(i);
                                        }};
            }),
            (Lines{"one request: the completion ran 0 times, expected 1",
                   "three requests in flight: completion 0 ran 0 times, expected 1",
                   "three requests in flight: completion 1 ran 0 times, expected 1",
                   "three requests in flight: completion 2 ran 0 times, expected 1",
                   "perform() from a completion: the first completion ran 0 times, expected 1",
                   "perform() from a completion: the nested completion ran 0 times, expected 1"}));
}

// Turns every answer into a failure: a wrapper that does not pass its caller's completion on.
class TranslatingClient final : public HTTPClient {
 public:
  explicit TranslatingClient(std::shared_ptr<HTTPClient> wrapped) : wrapped_(std::move(wrapped)) {}
  void perform(URLRequest request, Completion completion) override {
    wrapped_->perform(std::move(request), [completion](HTTPClientResult) {
      completion(HTTPClientResult::failure(HTTPClientError::unexpectedResponseType()));
    });
  }

 private:
  std::shared_ptr<HTTPClient> wrapped_;
};

TEST(HTTPClientConformance, ReportsAWrapperThatChangesTheAnswer) {
  EXPECT_EQ(checkHTTPClientWrapperConformance([](std::shared_ptr<HTTPClient> wrapped) {
              return std::make_shared<TranslatingClient>(std::move(wrapped));
            }),
            (Lines{"answered inside perform(), the wrapped client's answer: arrived as the "
                   "failure unexpectedResponseType",
                   "answered later on another thread, the wrapped client's answer: arrived as "
                   "the failure unexpectedResponseType"}));
}

// Sends nothing at all: the synchronous answer of the wrapped client never reaches the caller.
class SilentClient final : public HTTPClient {
 public:
  void perform(URLRequest, Completion) override {}
};

TEST(HTTPClientConformance, ReportsAWrapperThatLosesAnswers) {
  const auto violations = checkHTTPClientWrapperConformance(
      [](std::shared_ptr<HTTPClient>) { return std::make_shared<SilentClient>(); });
  EXPECT_EQ(violations.size(), 14u);
  EXPECT_THAT(violations,
              ::testing::Contains("answered inside perform(), one request: the completion ran 0 "
                                  "times, expected 1"));
  EXPECT_THAT(violations, ::testing::Contains("answered later on another thread, the wrapped "
                                              "client's answer: did not reach the caller"));
}

}  // namespace
}  // namespace tamsenor::testing
