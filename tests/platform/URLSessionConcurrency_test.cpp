// A thousand requests from four threads through the whole stack, with the process held to 256
// descriptors: each completes exactly once with its own answer, on few reused connections.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/OpenFileDescriptors.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;

TEST(URLSessionConcurrency,
     AThousandRequestsFromFourThreadsCompleteOnceEachWithinADescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);  // a descriptor lost per request shows
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

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

  auto lines = std::make_shared<testsupport::CompletionRecorder<std::string>>();
  std::atomic<bool> sampling{true};
  std::size_t peak = 0;
  std::thread sampler([&] {
    for (; sampling; std::this_thread::sleep_for(5ms)) {
      peak = std::max(peak, testsupport::OpenFileDescriptors::count());
    }
  });
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
  sampling = false;
  sampler.join();
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
  EXPECT_LT(peak, 256u);
}

}  // namespace
}  // namespace tamsenor
