// A thousand requests from four threads through the whole stack, with the process held to the
// descriptors it had plus those of the session's connections: each completes exactly once with its
// own answer, on few reused connections.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kSpareDescriptors = 8;

TEST(URLSessionConcurrency,
     AThousandRequestsFromFourThreadsCompleteOnceEachWithinADescriptorLimit) {
  testsupport::LoopbackHTTPServer server;
  server.server().Get(R"(/echo/(\d+))",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.set_content(request.matches[1].str(), "text/plain");
                      });
  server.start();
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto session = URLSession::create(configuration);
  auto attempts = std::make_shared<std::atomic<std::size_t>>(0);
  auto client = testsupport::AttemptCountingHTTPClient::create(
                    URLSessionHTTPClient::create(session, "Concurrency/1"), attempts)
                    ->withAuthentication([](URLRequest request) {
                      request.setValue("Bearer load", "Authorization");
                      return request;
                    })
                    ->withRetries(2, StatusCodeRange(500, 599));

  // Both ends of at most six connections and a few spare: a descriptor held per request, or
  // per ten until the session ends, makes requests fail, whenever it happens.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  const auto held = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  lowered.rlim_cur = static_cast<rlim_t>(held) + 2 * 6 + kSpareDescriptors;
  ASSERT_LE(lowered.rlim_cur, saved.rlim_max);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  auto lines = std::make_shared<testsupport::CompletionRecorder<std::string>>();
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = t * 250; i < (t + 1) * 250; ++i) {
        const auto id = std::to_string(i);
        client->perform(URLRequest(*URL::parse(server.baseURL() + "/echo/" + id)),
                        testsupport::recordLines(lines, id));
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_TRUE(lines->waitFor(1000, 120s));
  client.reset();
  testsupport::releaseSessionHere(session);  // any second completion would be in by now
  ::setrlimit(RLIMIT_NOFILE, &saved);

  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i)
    expected.push_back(std::to_string(i) + "=200:" + std::to_string(i));
  auto got = lines->values();
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
  const auto entries = lines->entries();
  for (const auto& entry : entries) EXPECT_EQ(entry.thread, entries.front().thread);
  EXPECT_EQ(attempts->load(), 1000u);
  EXPECT_EQ(server.requestCount(), 1000u);
  EXPECT_LE(server.connectionCount(), 6u);  // the session's cap per host
}

}  // namespace
}  // namespace tamsenor
