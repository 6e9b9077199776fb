#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/TaskOutcome.hpp"
#include "tamsenor/http/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testing::CompletionRecorder;
using testing::FaultServer;
using testing::TaskOutcome;

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

URLRequest requestTo(const FaultServer& server) {
  return URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
}

void stall(FaultServer& server, int connection) {
  (void)server.readRequestHead(connection);
  server.waitUntilStopped();
}

bool waitForAccept(const FaultServer& server) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server.acceptCount() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void expectCancelledOnce(const CompletionRecorder<TaskOutcome>& recorder, std::size_t count) {
  const auto entries = recorder.entries();
  ASSERT_EQ(entries.size(), count);
  for (const auto& entry : entries) {
    ASSERT_TRUE(entry.value.error.has_value());
    EXPECT_EQ(*entry.value.error,
              URLError(URLError::cancelled, "cancelled: the URL session was destroyed"));
    EXPECT_FALSE(entry.value.body.has_value());
    EXPECT_EQ(entry.value.response, nullptr);
    EXPECT_NE(entry.thread, std::this_thread::get_id());
  }
}

TEST(URLSessionLifetime, DestroyingTheSessionCancelsEverythingInFlightAndQueued) {
  FaultServer server(stall);
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  auto session = URLSession::create(plainHTTP());
  for (int i = 0; i < 100; ++i) {
    session->dataTask(requestTo(server), testing::recordInto(recorder)).resume();
  }
  ASSERT_TRUE(waitForAccept(server));  // some are on the wire, the rest wait for a connection
  EXPECT_EQ(recorder->count(), 0u);

  session.reset();
  expectCancelledOnce(*recorder, 100);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(recorder->count(), 100u);  // nothing after the destructor returned
}

TEST(URLSessionLifetime, DestroyingTheSessionCancelsTasksStillInTheQueue) {
  FaultServer server(stall);
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  auto session = URLSession::create(plainHTTP());
  for (int i = 0; i < 100; ++i) {
    session->dataTask(requestTo(server), testing::recordInto(recorder)).resume();
  }
  session.reset();
  expectCancelledOnce(*recorder, 100);
}

// The handler of the first request holds the last reference to the session; a second request
// is stalled. When the handler lets go on the loop thread, the loop cancels the second request
// and ends by itself.
void dropLastReferenceInHandler(bool explicitly) {
  std::promise<void> go;
  auto goSignal = go.get_future().share();
  FaultServer answering([goSignal](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    if (goSignal.wait_for(10s) != std::future_status::ready) return;
    server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  FaultServer stalling(stall);
  auto first = std::make_shared<CompletionRecorder<long>>();
  auto stalled = std::make_shared<CompletionRecorder<TaskOutcome>>();

  auto session = URLSession::create(plainHTTP());
  std::weak_ptr<URLSession> weak = session;
  session->dataTask(requestTo(stalling), testing::recordInto(stalled)).resume();
  auto task = session->dataTask(
      requestTo(answering), [first, explicitly, held = session](auto, auto response, auto) mutable {
        first->record(static_cast<long>(held.use_count()));
        if (explicitly) held.reset();  // else it goes with the handler
        (void)response;
      });
  session.reset();
  task.resume();  // from here the handler holds the only reference
  EXPECT_EQ(weak.use_count(), 1);
  go.set_value();

  ASSERT_TRUE(first->waitFor(1, 10s));
  EXPECT_EQ(first->entries().front().value, 1);
  ASSERT_TRUE(stalled->waitFor(1, 10s));
  expectCancelledOnce(*stalled, 1);
  EXPECT_TRUE(weak.expired());
}

TEST(URLSessionLifetime, AHandlerResettingTheLastReferenceNeitherHangsNorCrashes) {
  dropLastReferenceInHandler(true);
}

TEST(URLSessionLifetime, AHandlerDestroyedWithTheLastReferenceNeitherHangsNorCrashes) {
  dropLastReferenceInHandler(false);
}

}  // namespace
}  // namespace tamsenor
