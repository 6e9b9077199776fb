// A started request outlives the stack or session above it; letting go never blocks on a handler.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::TaskOutcome;

const URLError kInvalidated(URLError::cancelled, "cancelled: the URL session was invalidated");

std::shared_ptr<URLSession> plainSession() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return URLSession::create(configuration);
}

URLRequest requestTo(const FaultServer& server) {
  return URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
}

// Holds request n until open(n); requests before `last` are answered 503, the last 200 "ok".
struct Gate {
  explicit Gate(std::size_t last)
      : server([this, last](FaultServer& self, int connection) {
          while (self.readRequest(connection)) {
            arrived.record(true);
            const auto n = arrived.count();
            if (!opened.waitFor(n, 10s)) return;
            self.send(connection, n < last ? "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n"
                                           : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
          }
        }) {}
  void open(std::size_t n) {
    while (opened.count() < n) opened.record(true);
  }
  CompletionRecorder<bool> arrived, opened;
  FaultServer server;  // last: its thread uses the recorders
};

struct ReleaseCase {
  const char* name;
  std::uint64_t retries;
  std::size_t releasedDuring;  // the attempt in flight when the application lets go
  bool sessionHeld;            // whether the application keeps its own reference to the session
  bool delivered;              // only a retry chain released before its last attempt stays silent
};

class ReleasedStack : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleasedStack, AnswersStillArriveUnlessARetryChainWasWaiting) {
  const auto& c = GetParam();
  const std::size_t attempts = c.retries + 1;
  Gate gate(attempts);
  auto session = plainSession();
  auto stack = URLSessionHTTPClient::create(session, "Lifetime/1")
                   ->withAuthentication([](URLRequest request) {
                     request.setValue("Bearer t", "Authorization");
                     return request;
                   })
                   ->withRetries(c.retries, StatusCodeRange(500, 599));
  if (!c.sessionHeld) session.reset();
  auto lines = std::make_shared<CompletionRecorder<std::string>>();
  auto gone = std::make_shared<CompletionRecorder<bool>>();
  stack->perform(requestTo(gate.server), [record = testsupport::recordLines(lines),
                                          token = testsupport::recordWhenGone(gone, true)](
                                             auto result) { record(result); });
  gate.open(c.releasedDuring - 1);
  ASSERT_TRUE(gate.arrived.waitFor(c.releasedDuring));
  stack.reset();
  gate.open(attempts);
  ASSERT_TRUE(gone->waitFor(1));  // what the completion got, it got by now
  if (session) session->finishTasksAndInvalidate();
  EXPECT_EQ(lines->values(), std::vector<std::string>(c.delivered ? 1 : 0, "200:ok"));
  EXPECT_EQ(gate.arrived.count(), c.delivered ? attempts : c.releasedDuring);
}

INSTANTIATE_TEST_SUITE_P(
    Lifetime, ReleasedStack,
    ::testing::Values(ReleaseCase{"SignedClient", 0, 1, false, true},
                      ReleaseCase{"SignedClientSessionHeld", 0, 1, true, true},
                      ReleaseCase{"RetryChainDuringFirstAttempt", 1, 1, false, false},
                      ReleaseCase{"RetryChainDuringFirstAttemptSessionHeld", 1, 1, true, false},
                      ReleaseCase{"RetryChainDuringLastAttempt", 2, 3, false, true},
                      ReleaseCase{"RetryChainDuringLastAttemptSessionHeld", 2, 3, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

// A release that waited for the loop thread would deadlock on the lock this thread holds.
TEST(URLSessionLifetime, ReleasingWhileHoldingALockTheCompletionNeedsDoesNotBlock) {
  Gate gate(1);
  gate.open(1);
  auto lock = std::make_shared<std::mutex>();
  std::unique_lock held(*lock);
  auto recorder = std::make_shared<CompletionRecorder<bool>>();
  auto client = URLSessionHTTPClient::create(plainSession(), "Lifetime/1");
  client->perform(requestTo(gate.server), [lock, recorder](HTTPClientResult result) {
    recorder->record(result.has_value());  // before the lock: the test sees the completion waiting
    std::lock_guard inside(*lock);
    recorder->record(true);
  });
  ASSERT_TRUE(recorder->waitFor(1, 10s));
  client.reset();
  held.unlock();
  ASSERT_TRUE(recorder->waitFor(2, 10s));
  EXPECT_EQ(recorder->values(), (std::vector<bool>{true, true}));
}

std::size_t threadCount() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

TEST(URLSessionLifetime, AReleasedSessionWithNothingInFlightEndsItsThreadByItself) {
  // Counted once earlier tests' threads and any sanitizer helper thread have settled.
  std::thread([] {}).join();
  auto before = threadCount();
  for (int i = 0; i < 100 && before != threadCount(); ++i) {
    std::this_thread::sleep_for(20ms);
    before = threadCount();
  }
  auto session = plainSession();
  EXPECT_EQ(threadCount(), before + 1);
  auto calls = std::make_shared<CompletionRecorder<bool>>();
  const auto record = [calls](bool due) { calls->record(due); };
  session->callAfter(1ms, record);
  session->callAfter(URLSession::kLongestCallDelay, record);  // cut short: nobody is left to wait
  ASSERT_TRUE(calls->waitFor(1));
  session.reset();
  for (int i = 0; i < 10'000 && threadCount() != before; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(threadCount(), before);
  EXPECT_EQ(calls->values(), (std::vector<bool>{true, false}));
}

struct EndingCase {
  const char* name;
  bool cancel;
  bool fromHandler;  // called inside another task's handler, on the loop thread
};

class EndingASession : public ::testing::TestWithParam<EndingCase> {};

TEST_P(EndingASession, FinishesOrCancelsWhatStartedAndRefusesWhatComesAfter) {
  const auto& c = GetParam();
  Gate gate(1);
  auto stalled = std::make_shared<CompletionRecorder<TaskOutcome>>();
  auto session = plainSession();
  session->dataTask(requestTo(gate.server), testsupport::recordInto(stalled)).resume();
  ASSERT_TRUE(gate.arrived.waitFor(1));

  auto calls = std::make_shared<CompletionRecorder<bool>>();
  const auto record = [calls](bool due) { calls->record(due); };
  session->callAfter(URLSession::kLongestCallDelay, record);  // cut short by the end

  auto ended = std::make_shared<CompletionRecorder<std::thread::id>>();
  const auto end = [&session, cancel = c.cancel, ended] {
    cancel ? session->invalidateAndCancel() : session->finishTasksAndInvalidate();
    ended->record(std::this_thread::get_id());
  };
  // The stalled request goes once the call returned, or 200 ms in where the call waits for it.
  std::thread opener([&] {
    (void)ended->waitFor(1, c.cancel || c.fromHandler ? 10'000ms : 200ms);
    gate.open(1);
  });
  if (c.fromHandler) {
    FaultServer quick([](FaultServer& server, int connection) {
      if (server.readRequest(connection)) server.send(connection, "HTTP/1.1 204 \r\n\r\n");
    });
    session->dataTask(requestTo(quick), [&end](auto, auto, auto) { end(); }).resume();
    ASSERT_TRUE(ended->waitFor(1, 10s));
    EXPECT_NE(ended->entries().front().value, std::this_thread::get_id());  // returned at once
    ASSERT_TRUE(stalled->waitFor(1, 10s));
  } else {
    end();
    EXPECT_EQ(stalled->count(), 1u);  // completed before the call returned
  }
  opener.join();

  const auto outcome = stalled->entries().front().value;
  if (c.cancel) {
    EXPECT_EQ(outcome.error, kInvalidated);
  } else {
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_EQ(outcome.http()->statusCode(), 200);
  }
  auto refused = std::make_shared<CompletionRecorder<TaskOutcome>>();
  session->dataTask(requestTo(gate.server), testsupport::recordInto(refused)).resume();
  ASSERT_EQ(refused->count(), 1u);  // at once, on this thread
  EXPECT_EQ(refused->entries().front().value.error, kInvalidated);
  EXPECT_EQ(gate.arrived.count(), 1u);
  ASSERT_TRUE(calls->waitFor(1, 10s));
  session->callAfter(0ms, record);  // at once, on this thread
  EXPECT_EQ(calls->values(), (std::vector<bool>{false, false}));
  EXPECT_EQ(calls->entries().back().thread, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(Lifetime, EndingASession,
                         ::testing::Values(EndingCase{"Finish", false, false},
                                           EndingCase{"FinishFromAHandler", false, true},
                                           EndingCase{"Cancel", true, false},
                                           EndingCase{"CancelFromAHandler", true, true}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(URLSessionLifetime, CancellingCompletesQueuedAndRunningTasksOnceEach) {
  FaultServer server([](FaultServer& self, int connection) {
    if (self.readRequestHead(connection)) self.waitUntilStopped();
  });
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  auto session = plainSession();
  auto request = requestTo(server);
  request.setTimeoutInterval(2);  // a cancel that waited for them would end in time-outs
  for (int i = 0; i < 100; ++i) {
    session->dataTask(request, testsupport::recordInto(recorder)).resume();
  }
  session->invalidateAndCancel();
  ASSERT_EQ(recorder->count(), 100u);
  for (const auto& entry : recorder->entries()) {
    EXPECT_EQ(entry.value.error, kInvalidated);
    EXPECT_FALSE(entry.value.body.has_value());
    EXPECT_NE(entry.thread, std::this_thread::get_id());
  }
}

// A retry chain's waits on the session, from each 503 to the retry it calls for, against their
// bounds (with a generous second above): Retry-After: 1, then the second retry's back-off.
TEST(URLSessionLifetime, RetryWaitsLastWhatTheServerAndThePolicySay) {
  constexpr const char* kAnswers[] = {
      "HTTP/1.1 503 Busy\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"};
  CompletionRecorder<std::chrono::steady_clock::time_point> answering;
  FaultServer server([&](FaultServer& self, int connection) {
    while (answering.count() < 3 && self.readRequest(connection)) {
      answering.record(std::chrono::steady_clock::now());
      self.send(connection, kAnswers[answering.count() - 1]);
    }
  });
  auto session = plainSession();
  const auto client = URLSessionHTTPClient::create(session, "Backoff/1")
                          ->withRetries(2, StatusCodeRange(500, 599), {150ms, 5s}, session);
  auto lines = std::make_shared<CompletionRecorder<std::string>>();
  client->perform(requestTo(server), testsupport::recordLines(lines));
  ASSERT_TRUE(lines->waitFor(1));
  EXPECT_EQ(lines->values(), std::vector<std::string>{"200:ok"});
  const auto times = answering.values();
  const std::chrono::milliseconds bounds[][2] = {{1s, 1s}, {0ms, 300ms}};
  for (std::size_t k = 0; k < 2; ++k) {
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(times[k + 1] - times[k]);
    std::cout << "wait " << k + 1 << ": " << waited.count() << " ms, bound " << bounds[k][0].count()
              << " to " << bounds[k][1].count() << " ms\n";
    EXPECT_GE(waited, bounds[k][0]);
    EXPECT_LE(waited, bounds[k][1] + 1s);
  }
}

}  // namespace
}  // namespace tamsenor
