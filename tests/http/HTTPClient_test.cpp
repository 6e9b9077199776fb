#include "tamsenor/http/HTTPClient.hpp"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <exception>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"
#include "support/CompletionRecorder.hpp"
#include "tamsenor/abtesting/ABTestServiceAsync.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/abtesting/framework/OStreamLogger.hpp"
#include "tamsenor/http/Async.hpp"
#include "tamsenor/signin/MagicLinkSignInServiceAsync.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tamsenor/testing/HTTPClientConformance.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using testing::ScriptedHTTPClient;
using testsupport::CompletionRecorder;
using testsupport::recordLines;
using Lines = std::vector<std::string>;
using SignResult = Result<URLRequest, SigningFailure>;

const StatusCodeRange k5xx(500, 599);
constexpr std::uint64_t kMost = HTTPClient::kMaxRetryCount;

URLRequest request() { return URLRequest(*URL::parse("https://h.test/v0/send_sign_in_link")); }

URLRequest withToken(URLRequest request) {
  request.setValue("Bearer t0k3n", "Authorization");
  return request;
}

// Configuration mistakes throw at once. Answered inside perform(), each attempt runs one level
// deeper on the answering thread's stack: the most retries allowed must fit on a thread.
TEST(HTTPClient, RetryChainsAreBoundedAndRefuseMistakesAtOnce) {
  auto fake = ScriptedHTTPClient::create();
  EXPECT_EQ(fake->withRetries(0, k5xx), std::shared_ptr<HTTPClient>(fake));
  EXPECT_THROW((void)fake->withRetries(kMost + 1, k5xx), std::invalid_argument);
  EXPECT_THROW(StatusCodeRange(599, 500), std::invalid_argument);
  EXPECT_THROW(HTTPClientSuccess(Data{}, nullptr), std::invalid_argument);
  EXPECT_EQ(fake->requestCount(), 0u);
  for (std::uint64_t i = 0; i <= kMost; ++i) fake->answerNext(503, "busy");
  auto lines = std::make_shared<CompletionRecorder<std::string>>();
  const auto chain = fake->withRetries(kMost, k5xx);
  std::thread([&] { chain->perform(request(), recordLines(lines)); }).join();
  EXPECT_EQ(lines->values(), Lines{"503:busy"});
  EXPECT_EQ(fake->requestCount(), kMost + 1);
}

// Each attempt is answered after perform() returned; status 0 stands for a transport failure.
TEST(PrimaryWithFallbackHTTPClientComposer, RetriesUpToTheCountWhileTheAnswerIsInsideTheRange) {
  const struct {
    const char* name;
    std::uint64_t retries;
    StatusCodeRange range;
    std::vector<std::pair<std::int64_t, const char*>> answers;  // one per attempt
    Lines delivered;
    std::size_t releaseBefore = SIZE_MAX;  // the answer before which the client is released
  } rows[] = {
      {"AllInsideLastStands", 2, k5xx, {{503, "a"}, {502, "b"}, {500, "c"}}, {"500:c"}},
      {"StopsOutsideRange", 2, k5xx, {{503, ""}, {200, "ok"}}, {"200:ok"}},
      {"LowerBoundInside", 1, k5xx, {{500, ""}, {200, ""}}, {"200:"}},
      {"BelowRangeStands", 1, k5xx, {{499, "as is"}}, {"499:as is"}},
      {"SuccessInsideRange", 1, StatusCodeRange(200, 200), {{200, "1"}, {200, "2"}}, {"200:2"}},
      {"FailuresRetried", 1, k5xx, {{0, "refused"}, {0, "again"}}, {"networkError(again)"}},
      {"LastAttemptStands", 1, k5xx, {{0, "refused"}, {503, "busy"}}, {"503:busy"}},
      {"ReleasedDuringFirst", 1, k5xx, {{503, ""}}, {}, 0},
      {"ReleasedBeforeAStandingAnswer", 1, k5xx, {{200, ""}}, {}, 0},
      {"ReleasedDuringMiddle", 2, k5xx, {{503, ""}, {503, ""}}, {}, 1},
      {"ReleasedDuringLast", 1, k5xx, {{503, ""}, {500, "last"}}, {"500:last"}, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto fake = ScriptedHTTPClient::create();
    auto client = fake->withRetries(row.retries, row.range);
    auto lines = std::make_shared<CompletionRecorder<std::string>>();
    client->perform(request(), recordLines(lines));
    for (std::size_t i = 0; i < row.answers.size(); ++i) {
      ASSERT_EQ(fake->requestCount(), i + 1);  // the next attempt waits for this answer
      if (i == row.releaseBefore) client.reset();
      const auto& [status, body] = row.answers[i];
      status == 0 ? fake->fail(i, HTTPClientError::networkError(URLError(CURLE_RECV_ERROR, body)))
                  : fake->respond(i, status, body);
    }
    EXPECT_EQ(lines->values(), row.delivered);
    EXPECT_EQ(fake->requests(), std::vector<URLRequest>(row.answers.size(), request()));
  }
}

struct Answer {
  std::int64_t status;  // 0: a transport failure
  const char* retryAfter = nullptr;
  const char* date = nullptr;
};

// One request through a chain (without a policy, a plain one) whose waits the test ends in turn.
std::tuple<std::size_t, Lines, std::vector<milliseconds>> send(
    std::uint64_t retries, const std::vector<Answer>& answers, std::optional<RetryBackoff> backoff,
    std::size_t releaseInWait = SIZE_MAX) {
  auto fake = ScriptedHTTPClient::create();
  for (const auto& [status, retryAfter, date] : answers) {
    HTTPHeaderFields fields;
    if (retryAfter) fields.set("Retry-After", retryAfter);
    if (date) fields.set("Date", date);
    status ? fake->answerNext(status, "", fields)
           : fake->failNext(HTTPClientError::unexpectedResponseType());
  }
  std::vector<milliseconds> waits;
  std::deque<std::function<void(bool)>> waiting;
  auto client =
      !backoff
          ? fake->withRetries(retries, StatusCodeRange(400, 599))
          : detail::PrimaryWithFallbackHTTPClientComposer::chain(
                fake, retries, StatusCodeRange(400, 599),
                std::make_shared<detail::RetryWaits>(*backoff, [&](milliseconds delay, auto then) {
                  waits.push_back(delay);
                  waiting.push_back(std::move(then));
                }));
  auto lines = std::make_shared<CompletionRecorder<std::string>>();
  client->perform(request(), recordLines(lines));
  for (; !waiting.empty(); waiting.pop_front()) {
    if (waits.size() == releaseInWait + 1) client.reset();
    waiting.front()(true);
  }
  EXPECT_EQ(lines.use_count(),
            1 + static_cast<long>(fake->pendingCount()));  // the chain keeps none
  return {fake->requestCount(), lines->values(), waits};
}

// Under a policy of 100 ms first and 1.5 s most, with 50 seeds: each wait within its bounds and,
// jittered, spread over them. Every row also runs without a policy, making the same attempts.
TEST(PrimaryWithFallbackHTTPClientComposer, WaitsAsItsPolicySaysAndMakesTheSameAttempts) {
  constexpr const char* kSent = "Sun, 06 Nov 1994 08:49:37 GMT";
  constexpr const char* kLater = "Sun, 06 Nov 1994 08:49:38 GMT";
  constexpr std::pair<milliseconds, milliseconds> kJittered{0ms, 100ms};
  const struct {
    const char* name;
    std::uint64_t retries;
    std::vector<Answer> answers;
    std::vector<std::pair<milliseconds, milliseconds>> bounds;  // of each wait
    std::size_t releaseInWait = SIZE_MAX;  // the wait during which the client is released
  } rows[] = {
      {"Doubling",
       5,
       {{503}, {502}, {500}, {429}, {500}, {504}},
       {kJittered, {0ms, 200ms}, {0ms, 400ms}, {0ms, 800ms}, {0ms, 1500ms}}},
      {"FailureRetried", 3, {{503}, {0}, {200}}, {kJittered, {0ms, 200ms}}},
      {"ReleasedDuringFirstWait", 2, {{503}}, {kJittered}, 0},
      {"ReleasedDuringLastWait", 2, {{503}, {503}}, {kJittered, {0ms, 200ms}}, 1},
      {"Seconds", 1, {{503, "1"}, {200}}, {{1s, 1s}}},
      {"SecondsCapped", 1, {{503, "99999999999999999999999"}, {200}}, {{1500ms, 1500ms}}},
      {"DateAgainstTheAnswersDate", 1, {{503, kLater, kSent}, {200}}, {{1s, 1s}}},
      {"DatePassedAgainstThisClock", 1, {{429, kLater, "today"}, {200}}, {{0ms, 0ms}}},
      {"DateCapped", 1, {{503, "Fri, 01 Jan 2100 00:00:00 GMT"}, {200}}, {{1500ms, 1500ms}}},
      {"OtherStatus", 1, {{500, "1"}, {200}}, {kJittered}},
      {"Fraction", 1, {{503, "1.5"}, {200}}, {kJittered}},
      {"RFC850Date", 1, {{503, "Sunday, 06-Nov-94 08:49:38 GMT", kSent}, {200}}, {kJittered}},
      {"WrongWeekday", 1, {{503, "Mon, 06 Nov 1994 08:49:38 GMT", kSent}, {200}}, {kJittered}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto [plainAttempts, plainDelivered, none] = send(row.retries, row.answers, std::nullopt);
    std::vector<milliseconds> least(row.bounds.size(), 1h), most(row.bounds.size(), 0ms);
    for (std::uint64_t seed = 1; seed <= 50; ++seed) {
      const auto [attempts, delivered, waits] =
          send(row.retries, row.answers, RetryBackoff(100ms, 1500ms, seed), row.releaseInWait);
      EXPECT_EQ(attempts, row.releaseInWait == SIZE_MAX ? plainAttempts : row.releaseInWait + 1);
      EXPECT_EQ(delivered, row.releaseInWait == SIZE_MAX ? plainDelivered : Lines{});
      ASSERT_EQ(waits.size(), row.bounds.size());
      for (std::size_t k = 0; k < waits.size(); ++k) {
        least[k] = std::min(least[k], waits[k]);
        most[k] = std::max(most[k], waits[k]);
      }
    }
    for (std::size_t k = 0; k < row.bounds.size(); ++k) {
      const auto [low, high] = row.bounds[k];
      EXPECT_TRUE(low <= least[k] && most[k] <= high) << k;
      EXPECT_TRUE(low == high || (least[k] < high / 4 && most[k] > high * 3 / 4)) << k;  // spread
    }
  }
  EXPECT_THROW(RetryBackoff(2s, 1s), std::invalid_argument);
}

// A signed record is sent and its answer delivered; every failure of the signing function ends in
// missingRequiredAuthentication before perform() returns, with nothing sent.
TEST(AuthenticatedHTTPClientDecorator, SendsTheSignedRecordOrRefusesBeforeReturning) {
  const struct {
    const char* name;
    HTTPClient::SignRequest sign;
    bool sends;
  } rows[] = {
      {"Signed", [](URLRequest r) { return SignResult::success(withToken(std::move(r))); }, true},
      {"Failure", [](URLRequest) { return SignResult::failure(SigningFailure{}); }, false},
      {"StdException", [](URLRequest) -> SignResult { throw std::runtime_error("locked"); }, false},
      {"OtherException", [](URLRequest) -> SignResult { throw 42; }, false},
      {"Empty", nullptr, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(201, "created");
    auto lines = std::make_shared<CompletionRecorder<std::string>>();
    fake->withAuthentication(row.sign)->perform(request(), recordLines(lines));
    EXPECT_EQ(lines->values(), Lines{row.sends ? "201:created" : "missingRequiredAuthentication"});
    EXPECT_EQ(fake->requests(),
              row.sends ? std::vector{withToken(request())} : std::vector<URLRequest>{});
  }
}

// Signing under retries that take even a 200 for a failure: every layer keeps the promises of a
// client, and the stack owns the client at its bottom.
TEST(HTTPClient, AStackOfWrappersKeepsTheClientPromisesAndOwnsTheClientBelow) {
  const auto stack = [](std::shared_ptr<HTTPClient> client) {
    return client->withAuthentication(withToken)->withRetries(2, StatusCodeRange(200, 200));
  };
  EXPECT_THAT(testing::checkHTTPClientWrapperConformance(stack), ::testing::IsEmpty());
  std::shared_ptr<HTTPClient> fake = ScriptedHTTPClient::create();
  const std::weak_ptr<HTTPClient> weakFake = fake;
  auto client = stack(std::exchange(fake, nullptr));
  EXPECT_FALSE(weakFake.expired());
  client.reset();
  EXPECT_TRUE(weakFake.expired());
}

const ABTest kOnboarding{"onboarding", {"control", "variant_b"}, "control"};
constexpr const char* kActiveB =
    R"({"success":true,"tests":[{"test_name":"onboarding","state":"active","selected_bucket":"variant_b"}]})";

// One line for what a call delivered: the value or the error as gtest prints them.
template <class T>
std::string text(const T& value) {
  return ::testing::PrintToString(value);
}
template <class T, class E>
std::string text(const Result<T, E>& result) {
  return result ? text(result.value()) : text(result.error());
}
std::string text(const HTTPClientResult& result) { return testsupport::describe(result); }
std::string text(const std::future_error& error) {
  return error.code() == std::future_errc::broken_promise ? "broken promise" : error.what();
}

// The least a coroutine type needs: it starts at once and its frame goes when it ends.
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

template <class Call>
Detached awaitOnce(Call call, CompletionRecorder<std::string>& seen) {
  try {
    seen.record(text(co_await call()));
  } catch (const std::future_error& error) {
    seen.record(text(error));
  }
}

enum class Op { perform, sendEmail, fetch, expose };

// The same call once through each adapter: the future first, then co_await.
TEST(Adapters, DeliverWhatTheCompletionGetsOrABrokenPromiseOnTheSettlingThread) {
  const struct {
    const char* name;
    Op op;
    bool atOnce;       // answered inside the call, else later on another thread
    const char* body;  // the answer's; none: the completion is dropped uncalled
    std::string expected;
  } rows[] = {
      {"PerformAtOnce", Op::perform, true, "hi", "200:hi"},
      {"PerformDropped", Op::perform, false, nullptr, "broken promise"},
      {"SendEmail", Op::sendEmail, false, "", "(nullopt)"},
      {"Fetch", Op::fetch, false, kActiveB, "{ onboarding: active(variant_b) }"},
      {"Expose", Op::expose, false, kActiveB, "onboarding: active(variant_b)"},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.name);
    auto client = ScriptedHTTPClient::create();
    auto signIn = RemoteMagicLinkSignInService::create(client, nullptr);
    std::ostringstream log;
    auto abTests =
        RemoteABTestService::create(client, "guid", std::make_shared<OStreamLogger>(log));
    for (int i = 0; c.atOnce && i < 2; ++i) client->answerNext(200, c.body);
    CompletionRecorder<std::string> seen;
    const auto both = [&](auto call) {
      auto future = call(useFuture);
      awaitOnce(call, seen);
      EXPECT_EQ(seen.count(), c.atOnce ? 1u : 0u);  // else suspended
      std::thread([&] {
        for (std::size_t i : {0u, 1u}) c.body ? client->respond(i, 200, c.body) : client->drop(i);
      }).join();
      ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
      try {
        seen.record(text(future.get()));
      } catch (const std::future_error& error) {
        seen.record(text(error));
      }
    };
    if (c.op == Op::perform) both([&](auto... how) { return perform(*client, request(), how...); });
    if (c.op == Op::sendEmail)
      both([&](auto... how) { return sendEmail(*signIn, "a@b.org", how...); });
    if (c.op == Op::fetch)
      both([&](auto... how) { return fetchBucketsForTests(*abTests, {kOnboarding}, how...); });
    if (c.op == Op::expose)
      both([&](auto... how) { return exposeBucket(*abTests, "variant_b", kOnboarding, how...); });
    ASSERT_EQ(seen.values(), std::vector<std::string>(2, c.expected));
    EXPECT_EQ(seen.entries()[0].thread == std::this_thread::get_id(), c.atOnce);
  }
}

}  // namespace
}  // namespace tamsenor
