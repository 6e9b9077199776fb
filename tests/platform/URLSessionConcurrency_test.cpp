#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;

TEST(URLSessionConcurrency, ThousandRequestsFromSeveralThreadsCompleteOnceEach) {
  testsupport::LoopbackHTTPServer server;
  server.server().Get("/echo", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(request.get_param_value("id"), "text/plain");
  });
  server.start();

  struct Completion {
    int id;
    HTTPClientResult result;
  };
  auto recorder = std::make_shared<testsupport::CompletionRecorder<Completion>>();
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto session = URLSession::create(configuration);
  auto client = URLSessionHTTPClient::create(session, "Concurrency/1");

  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int id = t * kPerThread + i;
        URLRequest request(*URL::parse(server.baseURL() + "/echo?id=" + std::to_string(id)));
        client->perform(std::move(request), [recorder, id](HTTPClientResult result) {
          recorder->record({id, std::move(result)});
        });
      }
    });
  }
  for (auto& sender : senders) sender.join();
  ASSERT_TRUE(recorder->waitFor(kThreads * kPerThread, 120s));
  client.reset();
  testsupport::releaseSessionHere(session);  // any second completion would be in by now

  const auto entries = recorder->entries();
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::map<int, int> timesCompleted;
  for (const auto& entry : entries) {
    ++timesCompleted[entry.value.id];
    ASSERT_TRUE(entry.value.result.hasValue()) << entry.value.result.error();
    EXPECT_EQ(entry.value.result.value().response().statusCode(), 200);
    EXPECT_EQ(asText(entry.value.result.value().body()), std::to_string(entry.value.id));
    EXPECT_EQ(entry.thread, entries.front().thread);
  }
  ASSERT_EQ(timesCompleted.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const auto& [id, times] : timesCompleted) EXPECT_EQ(times, 1) << id;
  // Six connections per host at most, and they are reused.
  EXPECT_GE(server.connectionCount(), 1u);
  EXPECT_LE(server.connectionCount(), 6u);
  std::printf("[ reuse    ] %d concurrent requests, %zu server-side connection(s)\n",
              kThreads * kPerThread, server.connectionCount());
}

// Requests to a plain-HTTP server whose answers come slowly: each gets a connection of its own at
// once instead of queueing for one that might multiplex, which HTTP/1.1 never does.
TEST(URLSessionConcurrency, PlainHTTPRequestsDoNotWaitToMultiplex) {
  constexpr std::size_t kRequests = 4;
  std::atomic<std::size_t> mostAtOnce{0};
  testsupport::FaultServer server([&](testsupport::FaultServer& self, int first) {
    // Answers nothing until the others are in too, or for 2 s when they queue behind this one.
    auto connections = self.acceptMore(kRequests - 1, 2s);
    connections.insert(connections.begin(), first);
    mostAtOnce = std::max(mostAtOnce.load(), connections.size());
    for (const int connection : connections) {
      if (self.readRequestHead(connection)) {
        self.send(connection,
                  "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nslow");
      }
      if (connection != first) ::close(connection);
    }
  });

  URLSessionConfiguration configuration;  // HTTP/2 on, as shipped
  configuration.allowedSchemes = {"http"};
  auto recorder = std::make_shared<testsupport::CompletionRecorder<HTTPClientResult>>();
  auto session = URLSession::create(configuration);
  auto client = URLSessionHTTPClient::create(session, "Slow/1");
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/slow";
  for (std::size_t i = 0; i < kRequests; ++i) {
    client->perform(URLRequest(*URL::parse(url)),
                    [recorder](HTTPClientResult result) { recorder->record(std::move(result)); });
  }
  ASSERT_TRUE(recorder->waitFor(kRequests, 30s));
  client.reset();
  testsupport::releaseSessionHere(session);
  for (const auto& entry : recorder->entries()) {
    EXPECT_TRUE(entry.value.hasValue()) << entry.value.error();
  }
  EXPECT_EQ(mostAtOnce.load(), kRequests);
  EXPECT_EQ(server.acceptCount(), kRequests);
}

}  // namespace
}  // namespace tamsenor
