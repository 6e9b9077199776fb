#include "tamsenor/testing/HTTPClientConformance.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor::testing {
namespace {

using Lines = std::vector<std::string>;
using Completion = HTTPClient::Completion;
using ::testing::IsEmpty;

// An HTTPClient that is one function.
struct FunctionClient final : HTTPClient {
  explicit FunctionClient(std::function<void(URLRequest, Completion)> f) : send(std::move(f)) {}
  void perform(URLRequest request, Completion completion) override { send(request, completion); }
  std::function<void(URLRequest, Completion)> send;
};

// A fake whose settle() answers, or drops, every waiting request and those the answers start.
ConformanceSubject scripted(bool answer) {
  auto fake = ScriptedHTTPClient::create();
  const auto request =
      V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = 7}).request();
  return {fake, request, [fake, answer] {
            for (int round = 0; round < 100 && fake->pendingCount() > 0; ++round) {
              for (std::size_t i = 0; i < fake->requestCount(); ++i) {
                (void)(answer ? fake->respond(i, 200) : fake->drop(i));
              }
            }
          }};
}

TEST(HTTPClientConformance, ReportsEachBrokenPromise) {
  EXPECT_THAT(checkHTTPClientConformance([] { return scripted(true); }), IsEmpty());
  EXPECT_EQ(checkHTTPClientConformance([] { return scripted(false); }),
            (Lines{"one request: the completion ran 0 times, expected 1",
                   "three requests in flight: completion 0 ran 0 times, expected 1",
                   "three requests in flight: completion 1 ran 0 times, expected 1",
                   "three requests in flight: completion 2 ran 0 times, expected 1",
                   "perform() from a completion: the first completion ran 0 times, expected 1",
                   "perform() from a completion: the nested completion ran 0 times, expected 1"}));
  const auto twice = std::make_shared<FunctionClient>([](URLRequest request, Completion done) {
    const auto answer = ScriptedHTTPClient::makeAnswer(request, 200, "");
    done(answer);
    done(answer);
  });
  EXPECT_EQ(checkHTTPClientConformance([&] {
              return ConformanceSubject{twice, scripted(true).request, nullptr};
            }),
            (Lines{"one request: the completion ran 2 times, expected 1",
                   "three requests in flight: completion 0 ran 2 times, expected 1",
                   "three requests in flight: completion 1 ran 2 times, expected 1",
                   "three requests in flight: completion 2 ran 2 times, expected 1",
                   "perform() from a completion: the first completion ran 2 times, expected 1",
                   "perform() from a completion: the nested completion ran 4 times, expected 1",
                   "client released in flight: the completion ran 2 times"}));
}

// Sends `request` `times` times in a row, each after the last answer, and passes the last on.
void resend(std::weak_ptr<HTTPClient> weak, URLRequest request, Completion done, int times) {
  if (const auto client = weak.lock()) {
    client->perform(request, [=](HTTPClientResult result) {
      times > 1 ? resend(weak, request, done, times - 1) : done(std::move(result));
    });
  }
}

// A wrapper that resends `times` times and, when `translating`, turns the answer into a failure.
Lines checkWrapper(int times, bool translating = false) {
  return checkHTTPClientWrapperConformance([=](std::shared_ptr<HTTPClient> wrapped) {
    return std::make_shared<FunctionClient>([=](URLRequest request, Completion done) {
      if (translating) {
        done = [done](HTTPClientResult) {
          done(HTTPClientResult::failure(HTTPClientError::unexpectedResponseType()));
        };
      }
      resend(wrapped, std::move(request), std::move(done), times);
    });
  });
}

TEST(HTTPClientConformance, ChecksWrappers) {
  EXPECT_THAT(checkWrapper(1), IsEmpty());
  // Settling goes on while answers start requests, up to 1000 rounds: a wrapper retrying that
  // often is waited for, one retrying more is not.
  EXPECT_THAT(checkWrapper(1000), IsEmpty());
  EXPECT_EQ(checkWrapper(1001), Lines{"answered later on another thread, the wrapped client's "
                                      "answer: did not reach the caller"});
  EXPECT_EQ(checkWrapper(1, true),
            (Lines{"answered inside perform(), the wrapped client's answer: arrived as the "
                   "failure unexpectedResponseType",
                   "answered later on another thread, the wrapped client's answer: arrived as "
                   "the failure unexpectedResponseType"}));
}

}  // namespace
}  // namespace tamsenor::testing
