// HTTP/2 over TLS against a real nginx, whose connections end with a GOAWAY after a number of
// requests (keepalive_requests): 5,000 tagged GETs kept 64 in flight, once with nginx's stock
// limit (1000), once with a limit of 5, and once more with 5 through withRetries(3); then bare
// libcurl multi (the same 64 in flight, 6 connections at most, multiplexed) at both limits for
// reference. Prints per run the failures, nginx's access-log lines, the failed requests that nginx
// logged (processed), the slowest request, and each failure text with its count.
//
//   tamsenor_goaway_run [REQUESTS=5000]
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "support/CompletionRecorder.hpp"
#include "support/NginxServer.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::NginxServer;
constexpr std::size_t kInFlight = 64;
constexpr auto kGiveUp = 120s;
constexpr long kConnections = 6;  // the session's default cap per host
constexpr auto kListener = NginxServer::Listener::http2;

// The tag and the outcome ("200:<body>" or the failure text) of each completed request, and the
// slowest one.
struct Outcomes {
  testsupport::CompletionRecorder<std::pair<std::string, std::string>> recorder;
  std::atomic<long> slowestMilliseconds{0};

  void record(std::string tag, std::string outcome, Clock::time_point sent) {
    const long took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    for (long slowest = slowestMilliseconds;
         slowest < took && !slowestMilliseconds.compare_exchange_weak(slowest, took);) {
    }
    recorder.record({std::move(tag), std::move(outcome)});
  }
};

void report(const std::string& name, const NginxServer& nginx, const Outcomes& outcomes,
            std::size_t requests, Clock::time_point started) {
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const auto log = nginx.accessLog(requests);
  std::set<std::string> logged;
  for (const auto& line : log) logged.insert(line.substr(0, line.find(' ')));
  std::map<std::string, std::size_t> failures;
  std::size_t failed = 0, failedButLogged = 0;
  const std::string answered = "200:" + std::string(NginxServer::kAnswer);
  for (const auto& [tag, outcome] : outcomes.recorder.values()) {
    if (outcome == answered) continue;
    ++failed;
    ++failures[outcome];
    failedButLogged += logged.count(tag);
  }
  std::printf(
      "%s requests=%zu completed=%zu failures=%zu log_lines=%zu logged_requests=%zu "
      "failed_but_logged=%zu seconds=%.2f slowest_ms=%ld\n",
      name.c_str(), requests, outcomes.recorder.count(), failed, log.size(), logged.size(),
      failedButLogged, seconds, outcomes.slowestMilliseconds.load());
  for (const auto& [text, count] : failures) std::printf("  %zu x %s\n", count, text.c_str());
}

// Keeps kInFlight requests going on the library's client until `total` have been sent.
struct ClosedLoop {
  ClosedLoop(std::shared_ptr<HTTPClient> client_, URL url_, std::size_t total_)
      : client(std::move(client_)), url(std::move(url_)), total(total_) {}

  std::shared_ptr<HTTPClient> client;
  URL url;
  std::size_t total;
  std::atomic<std::size_t> next{0};
  Outcomes outcomes;

  static void sendNext(const std::shared_ptr<ClosedLoop>& self) {
    const std::size_t i = self->next++;
    if (i >= self->total) return;
    const auto tag = "g" + std::to_string(i);
    URLRequest request(self->url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 10.0);
    request.setValue(tag, "X-Tag");
    self->client->perform(std::move(request),
                          [self, tag, sent = Clock::now()](HTTPClientResult result) {
                            self->outcomes.record(tag, testsupport::describe(result), sent);
                            sendNext(self);
                          });
  }
};

// nginx's stock keep-alive time-out, and `keepaliveRequests`.
void runLibrary(int keepaliveRequests, std::uint64_t retries, std::size_t requests) {
  NginxServer nginx(75, keepaliveRequests);
  auto session = URLSession::create(nginx.configuration(kListener));
  std::shared_ptr<HTTPClient> client = URLSessionHTTPClient::create(session, "GoAwayRun/1");
  if (retries > 0) client = client->withRetries(retries, StatusCodeRange(500, 599));
  auto loop =
      std::make_shared<ClosedLoop>(std::move(client), nginx.url(kListener, "goaway"), requests);
  const auto started = Clock::now();
  for (std::size_t i = 0; i < kInFlight; ++i) ClosedLoop::sendNext(loop);
  if (!loop->outcomes.recorder.waitFor(requests, kGiveUp)) std::printf("(gave up waiting)\n");
  report("library keepalive_requests=" + std::to_string(keepaliveRequests) +
             " retries=" + std::to_string(retries),
         nginx, loop->outcomes, requests, started);
  session->finishTasksAndInvalidate();
}

size_t collect(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// One of the bare libcurl run's handles, reused for request after request.
struct RawTransfer {
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  std::string tag, body;
  Clock::time_point sent;
  RawTransfer() = default;
  RawTransfer(const RawTransfer&) = delete;
  RawTransfer& operator=(const RawTransfer&) = delete;
  ~RawTransfer() {
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

void runLibcurl(int keepaliveRequests, std::size_t requests) {
  NginxServer nginx(75, keepaliveRequests);
  const auto configuration = nginx.configuration(kListener);
  const auto& route = configuration.hostOverrides.front();
  curl_slist* connectTo =
      curl_slist_append(nullptr, (route.host + ":" + std::to_string(route.port) + ":" +
                                  route.connectHost + ":" + std::to_string(route.connectPort))
                                     .c_str());
  const auto url = nginx.url(kListener, "goaway").absoluteString();
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kConnections);
  Outcomes outcomes;
  std::size_t next = 0;
  const auto start = [&](RawTransfer& transfer) {
    transfer.tag = "g" + std::to_string(next++);
    transfer.body.clear();
    curl_slist_free_all(transfer.headers);
    transfer.headers = curl_slist_append(nullptr, ("X-Tag: " + transfer.tag).c_str());
    curl_easy_setopt(transfer.easy, CURLOPT_HTTPHEADER, transfer.headers);
    transfer.sent = Clock::now();
    curl_multi_add_handle(multi, transfer.easy);
  };
  std::vector<RawTransfer> transfers(kInFlight);
  for (auto& transfer : transfers) {
    curl_easy_setopt(transfer.easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(transfer.easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(transfer.easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(transfer.easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(transfer.easy, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(transfer.easy, CURLOPT_CAINFO, configuration.additionalCABundlePath->c_str());
    curl_easy_setopt(transfer.easy, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(transfer.easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(transfer.easy, CURLOPT_WRITEDATA, &transfer.body);
    curl_easy_setopt(transfer.easy, CURLOPT_PRIVATE, &transfer);
    if (next < requests) start(transfer);
  }
  const auto started = Clock::now();
  for (int running = 1; running > 0 && Clock::now() - started < kGiveUp;) {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      RawTransfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      long status = 0;
      curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
      const CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, transfer->easy);
      outcomes.record(transfer->tag,
                      code == CURLE_OK ? std::to_string(status) + ":" + transfer->body
                                       : std::string(curl_easy_strerror(code)),
                      transfer->sent);
      if (next < requests) {
        start(*transfer);
        ++running;
      }
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  report("libcurl keepalive_requests=" + std::to_string(keepaliveRequests), nginx, outcomes,
         requests, started);
  for (auto& transfer : transfers) curl_multi_remove_handle(multi, transfer.easy);
  curl_multi_cleanup(multi);
  curl_slist_free_all(connectTo);
}

}  // namespace
}  // namespace tamsenor::bench

int main(int argc, char** argv) {
  const std::size_t requests = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5000;
  if (requests == 0 || requests > 100000) {
    std::fprintf(stderr, "tamsenor_goaway_run: 1..100000 requests\n");
    return 2;
  }
  using namespace tamsenor::bench;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  runLibrary(1000, 0, requests);  // nginx's stock limit
  runLibrary(5, 0, requests);
  runLibrary(5, 3, requests);
  runLibcurl(1000, requests);
  runLibcurl(5, requests);
  curl_global_cleanup();
  return 0;
}
