#include "tamsenor/http/Async.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "support/CompletionRecorder.hpp"
#include "support/RecordingLogger.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedHTTPClient;
using testsupport::CompletionRecorder;

const ABTest kOnboarding{"onboarding", {"control", "variant_b"}, "control"};
constexpr const char* kActiveB =
    R"({"success":true,"tests":[{"test_name":"onboarding","state":"active","selected_bucket":"variant_b"}]})";

struct Stage {
  std::shared_ptr<ScriptedHTTPClient> client = ScriptedHTTPClient::create();
  std::shared_ptr<RemoteMagicLinkSignInService> signIn =
      RemoteMagicLinkSignInService::create(client, nullptr);
  std::shared_ptr<RemoteABTestService> abTests =
      RemoteABTestService::create(client, "guid", std::make_shared<testsupport::RecordingLogger>());
};

URLRequest statsRequest() {
  return V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = 42}).request();
}

std::string describe(const HTTPClientResult& result) {
  if (!result) return to_string(result.error());
  return std::to_string(result.value().response().statusCode()) + ":" +
         std::string(asText(result.value().body()));
}
std::string describe(const std::optional<MagicLinkSignInService::Error>& error) {
  return error ? std::string(to_string(*error)) : "sent";
}
template <class T>
std::string describe(const Result<T, RemoteABTestService::Error>& result) {
  if (!result) return std::string(to_string(result.error()));
  std::ostringstream text;
  if constexpr (std::is_same_v<T, ABTestResponse>) {
    text << result.value();
  } else {
    for (const auto& response : result.value()) text << response << ';';
  }
  return text.str();
}
std::string describe(const std::future_error& error) {
  return error.code() == std::future_errc::broken_promise ? "broken promise" : "future_error";
}

enum class Op { perform, sendEmail, fetch, expose };
// What happens once the call has started, on a thread of its own. none: it completed at once.
enum class Then { none, answer, fail, drop, releaseAndAnswer };

struct Case {
  const char* name;
  Op op;
  std::string input;  // the address, the bucket; for fetch empty means no tests
  Then then;
  int status = 200;
  std::string body;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    {"PerformAnswered", Op::perform, "", Then::answer, 503, "busy", "503:busy"},
    {"PerformFailed", Op::perform, "", Then::fail, 0, "", "networkError(refused)"},
    {"PerformDropped", Op::perform, "", Then::drop, 0, "", "broken promise"},
    {"SendEmailSent", Op::sendEmail, "ada@example.org", Then::answer, 200, "", "sent"},
    {"SendEmailClientError", Op::sendEmail, "ada@example.org", Then::answer, 201, "",
     "clientError"},
    {"SendEmailInvalidEmail", Op::sendEmail, "", Then::none, 0, "", "invalidEmail"},
    {"SendEmailReleased", Op::sendEmail, "ada@example.org", Then::releaseAndAnswer, 200, "",
     "broken promise"},
    {"FetchAnswered", Op::fetch, "onboarding", Then::answer, 200, kActiveB,
     "onboarding: active(variant_b);"},
    {"FetchNetworkError", Op::fetch, "onboarding", Then::answer, 503, "", "networkError"},
    {"FetchEmptyRequest", Op::fetch, "", Then::none, 0, "", "emptyRequest"},
    {"FetchReleased", Op::fetch, "onboarding", Then::releaseAndAnswer, 200, kActiveB,
     "broken promise"},
    {"ExposeAnswered", Op::expose, "variant_b", Then::answer, 200, kActiveB,
     "onboarding: active(variant_b)"},
    {"ExposeInvalidResponse", Op::expose, "variant_b", Then::answer, 200,
     R"({"success":false,"tests":[]})", "invalidResponse"},
    {"ExposeEmptyRequest", Op::expose, "", Then::none, 0, "", "emptyRequest"},
    {"ExposeReleased", Op::expose, "variant_b", Then::releaseAndAnswer, 200, kActiveB,
     "broken promise"},
};

// Hands `visit` the case's operation as a callable taking the adapter's trailing arguments:
// useFuture for a future, none for an awaitable.
template <class Visit>
void withOperation(Stage& stage, const Case& c, Visit visit) {
  const auto tests = c.input.empty() ? std::vector<ABTest>{} : std::vector<ABTest>{kOnboarding};
  switch (c.op) {
    case Op::perform:
      return visit([&](auto... how) { return perform(*stage.client, statsRequest(), how...); });
    case Op::sendEmail:
      return visit([&](auto... how) { return sendEmail(*stage.signIn, c.input, how...); });
    case Op::fetch:
      return visit(
          [&, tests](auto... how) { return fetchBucketsForTests(*stage.abTests, tests, how...); });
    case Op::expose:
      return visit(
          [&](auto... how) { return exposeBucket(*stage.abTests, c.input, kOnboarding, how...); });
  }
}

// Settles the one request as the case says, on another thread as the session would, and joins.
void settle(Stage& stage, const Case& c) {
  std::thread([&stage, &c] {
    switch (c.then) {
      case Then::none:
        return;
      case Then::answer:
        stage.client->respond(0, c.status, c.body);
        return;
      case Then::fail:
        stage.client->fail(0, HTTPClientError::networkError(URLError(7, "refused")));
        return;
      case Then::drop:
        stage.client->drop(0);
        return;
      case Then::releaseAndAnswer:
        stage.signIn.reset();
        stage.abTests.reset();
        stage.client->respond(0, c.status, c.body);
        return;
    }
  }).join();
}

class FutureAdapter : public ::testing::TestWithParam<Case> {};

TEST_P(FutureAdapter, HoldsWhatTheCompletionGetsOrABrokenPromise) {
  const Case& c = GetParam();
  Stage stage;
  std::function<std::string()> text;
  withOperation(stage, c, [&](auto call) {
    text = [future = call(useFuture).share()] {
      // Settled already: a future that is not ready now would wait for ever.
      if (future.wait_for(0s) != std::future_status::ready) return std::string("still waiting");
      try {
        return describe(future.get());
      } catch (const std::future_error& error) {
        return describe(error);
      }
    };
  });
  settle(stage, c);
  EXPECT_EQ(text(), c.expected);
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
  std::string text;
  try {
    text = describe(co_await call());
  } catch (const std::future_error& error) {
    text = describe(error);
  }
  seen.record(std::move(text));
}

class CoAwait : public ::testing::TestWithParam<Case> {};

TEST_P(CoAwait, ResumesWithWhatTheCompletionGetsOnTheSettlingThread) {
  const Case& c = GetParam();
  Stage stage;
  CompletionRecorder<std::string> seen;
  withOperation(stage, c, [&](auto call) { awaitOnce(call, seen); });
  const bool atOnce = seen.count() == 1;
  settle(stage, c);
  const auto entries = seen.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].value, c.expected);
  EXPECT_EQ(atOnce, c.then == Then::none);
  if (!atOnce) {
    EXPECT_NE(entries[0].thread, std::this_thread::get_id());
  }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EveryOperation, FutureAdapter, ::testing::ValuesIn(kCases), caseName);
INSTANTIATE_TEST_SUITE_P(EveryOperation, CoAwait, ::testing::ValuesIn(kCases), caseName);

}  // namespace
}  // namespace tamsenor
