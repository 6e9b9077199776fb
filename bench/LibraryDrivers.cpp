// The load program's library modes: the session-backed client alone, and the full stack an
// application builds (signing, then retries), each kept at a fixed number of requests in flight.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>

#include "LoadOptions.hpp"
#include "LoadStats.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor::bench {

namespace {

using Clock = std::chrono::steady_clock;
using Send = std::function<void(std::function<void(bool ok)>)>;

// Keeps `concurrency` chains of requests going until the deadline. Completions arrive on the
// session's loop thread, which then starts the chain's next request.
class ClosedLoop {
 public:
  ClosedLoop(Send send, LoadStats& stats) : send_(std::move(send)), stats_(stats) {}

  void run(const LoadOptions& options) {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(options.duration());
    active_ = options.concurrency;
    stats_.start();
    for (std::size_t i = 0; i < options.concurrency; ++i) issue();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return active_.load() == 0; });
    stats_.stop();
  }

 private:
  void issue() {
    const auto started = Clock::now();
    send_([this, started](bool ok) {
      const auto now = Clock::now();
      stats_.record(now - started, ok);
      if (now < deadline_) return issue();
      if (--active_ == 0) {
        std::lock_guard lock(mutex_);
        done_.notify_all();
      }
    });
  }

  Send send_;
  LoadStats& stats_;
  Clock::time_point deadline_;
  std::atomic<std::size_t> active_{0};
  std::mutex mutex_;
  std::condition_variable done_;
};

std::optional<URLSessionConfiguration::HostOverride> parseConnectTo(const std::string& text) {
  // HOST:PORT:ADDR:PORT
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(text.substr(start, colon - start));
  }
  parts.push_back(text.substr(start));
  if (parts.size() != 4) return std::nullopt;
  return URLSessionConfiguration::HostOverride{
      parts[0], static_cast<std::uint16_t>(std::stoul(parts[1])), parts[2],
      static_cast<std::uint16_t>(std::stoul(parts[3]))};
}

std::shared_ptr<URLSession> makeSession(const LoadOptions& options) {
  URLSessionConfiguration configuration;
  configuration.maxConnectionsPerHost = options.connections();
  configuration.http2 = !options.http1;
  configuration.allowedSchemes = {"http", "https"};
  configuration.decompressesResponses = options.compression;
  if (!options.cacert.empty()) configuration.additionalCABundlePath = options.cacert;
  if (!options.connectToText.empty()) {
    if (auto hostOverride = parseConnectTo(options.connectToText)) {
      configuration.hostOverrides.push_back(*hostOverride);
    }
  }
  return URLSession::create(std::move(configuration));
}

URLRequest makeRecord(const LoadOptions& options, bool signedAlready) {
  URLRequest record(*URL::parse(options.url), URLRequestCachePolicy::reloadIgnoringLocalCacheData,
                    60.0);
  if (options.get) return record;
  record.setHTTPMethod("POST");
  record.setValue("application/json", "Content-Type");
  if (signedAlready) record.setValue(std::string(LoadOptions::kToken), "Authorization");
  record.setHTTPBody(toData(options.payload()));
  return record;
}

class SilentLogger final : public Logger {
 public:
  void log(LogSeverity, std::string_view, std::string_view, std::string_view, unsigned) override {}
};

// The A/B service end to end: it builds the same 10-test body the raw A/B mode sends, and every
// answer is decoded and checked against the tests.
int runABService(const LoadOptions& options, std::shared_ptr<HTTPClient> client, LoadStats& stats) {
  auto service = RemoteABTestService::create(std::move(client), "bench-device",
                                             std::make_shared<SilentLogger>());
  std::vector<ABTest> tests;
  for (int i = 0; i < LoadOptions::kABTests; ++i) {
    tests.push_back({"test-" + std::to_string(i), {"a", "b"}, "a"});
  }
  ClosedLoop loop(
      [&](std::function<void(bool)> done) {
        service->fetchBucketsForTests(tests, [done = std::move(done)](const auto& result) {
          done(result.has_value() && result.value().size() == LoadOptions::kABTests);
        });
      },
      stats);
  loop.run(options);
  return 0;
}

}  // namespace

int runLibrary(const LoadOptions& options, LoadStats& stats) {
  if (!URL::parse(options.url)) {
    std::fprintf(stderr, "tamsenor_load: bad --url\n");
    return 2;
  }
  std::shared_ptr<HTTPClient> client =
      URLSessionHTTPClient::create(makeSession(options), std::string(LoadOptions::kUserAgent));
  if (options.mode == "stack" || options.mode == "abtest") {
    client = client
                 ->withAuthentication([](URLRequest request) {
                   request.setValue(std::string(LoadOptions::kToken), "Authorization");
                   return Result<URLRequest, SigningFailure>::success(std::move(request));
                 })
                 ->withRetries(2, StatusCodeRange(500, 599));
  }
  if (options.mode == "abtest") return runABService(options, std::move(client), stats);
  if (options.mode != "session" && options.mode != "stack") {
    std::fprintf(stderr, "tamsenor_load: unknown --mode %s\n", options.mode.c_str());
    return 2;
  }
  const URLRequest record = makeRecord(options, /*signedAlready=*/options.mode == "session");
  ClosedLoop loop(
      [&](std::function<void(bool)> done) {
        client->perform(record, [&options, done = std::move(done)](HTTPClientResult result) {
          done(result.has_value() && result.value().response().statusCode() == 200 &&
               (options.expectBytes == 0 || result.value().body().size() == options.expectBytes));
        });
      },
      stats);
  loop.run(options);
  return 0;
}

}  // namespace tamsenor::bench
