// Ten thousand requests through the whole stack with the process held to 1,024 descriptors: each
// completes exactly once with its own answer, and the descriptors in use stay far below the cap.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

// Lowers the soft limit for the test's lifetime; the hard limit stays, so it can be restored.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(limit, saved_.rlim_max);
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

TEST(FileDescriptorLimit, TenThousandRequestsThroughTheFullStackCompleteExactlyOnce) {
  DescriptorLimit limit(1024);
  ASSERT_TRUE(limit.ok());
  rlimit now{};
  ::getrlimit(RLIMIT_NOFILE, &now);
  ASSERT_LE(now.rlim_cur, 1024u);

  testsupport::LoopbackHTTPServer server;
  server.server().Get(R"(/load/(\d+))",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.set_content(request.matches[1].str(), "text/plain");
                      });
  server.start();

  constexpr std::size_t kTotal = 10'000;
  std::vector<std::atomic<int>> calls(kTotal);
  auto wrongAnswers = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<testsupport::CompletionRecorder<bool>>();
  auto attempts = std::make_shared<std::atomic<std::size_t>>(0);
  std::atomic<bool> running{true};
  std::size_t peak = 0;
  std::thread sampler([&] {
    while (running) {
      peak = std::max(peak, testsupport::OpenFileDescriptors::count());
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto started = std::chrono::steady_clock::now();
  {
    URLSessionConfiguration configuration;
    configuration.allowedSchemes = {"http"};
    auto session = URLSession::create(configuration);
    auto client = testsupport::AttemptCountingHTTPClient::create(
                      URLSessionHTTPClient::create(session, "Load/1"), attempts)
                      ->withAuthentication([](URLRequest request) {
                        request.setValue("Bearer load", "Authorization");
                        return request;
                      })
                      ->withRetries(2, StatusCodeRange(500, 599));
    for (std::size_t i = 0; i < kTotal; ++i) {
      client->perform(URLRequest(*URL::parse(server.baseURL() + "/load/" + std::to_string(i))),
                      [i, &calls, wrongAnswers, done](HTTPClientResult result) {
                        if (!result || result.value().response().statusCode() != 200 ||
                            asText(result.value().body()) != std::to_string(i)) {
                          ++*wrongAnswers;
                        }
                        ++calls[i];
                        done->record(true);
                      });
    }
    EXPECT_TRUE(done->waitFor(kTotal, 120s));
    client.reset();
    testsupport::releaseSessionHere(session);
  }  // the session is gone: any second completion would have run by now
  const auto elapsed = std::chrono::steady_clock::now() - started;
  running = false;
  sampler.join();

  std::size_t once = 0;
  for (const auto& count : calls) once += count.load() == 1 ? std::size_t{1} : std::size_t{0};
  EXPECT_EQ(once, kTotal);
  EXPECT_EQ(done->count(), kTotal);
  EXPECT_EQ(wrongAnswers->load(), 0);
  EXPECT_EQ(attempts->load(), kTotal);
  EXPECT_EQ(server.requestCount(), kTotal);
  EXPECT_LE(server.connectionCount(), 6u);  // the session's cap per host
  EXPECT_LT(peak, 1024u);
  std::printf(
      "[ load     ] %zu requests in %lld ms, %zu connections, at most %zu descriptors open"
      " under a limit of %llu\n",
      kTotal,
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
      server.connectionCount(), peak, static_cast<unsigned long long>(now.rlim_cur));
}

}  // namespace
}  // namespace tamsenor
