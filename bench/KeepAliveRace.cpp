// The race between a server closing an idle keep-alive connection and the client's next request
// on it. The client sends one request every 50 ms, one at a time, without retries; after each
// answer the server closes the connection at the moment the next request is due, give or take up
// to 5 ms at random, and never reads a request that arrives after its close. 300 GETs, then 300
// POSTs, each tagged, over plain HTTP/1.1 and then over TLS (where the close comes with a TLS
// close_notify ahead of the end of the stream); through the library's client, then through
// libcurl alone (one easy handle, as the curl tool) for reference. Prints per run the failures,
// what the server processed (and whether it processed a request twice), and each failure text
// with its count. Two minutes at the default count.
//
//   tamsenor_keepalive_race [REQUESTS=300] [SEED]
#include <curl/curl.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "support/APIHost.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/http/Async.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto kPeriod = 50ms;
constexpr int kJitterMicroseconds = 5000;

// The value of `name` in a request head, or nothing.
std::string field(const std::string& request, const std::string& name) {
  const auto start = request.find("\r\n" + name + ": ");
  if (start == std::string::npos) return {};
  const auto value = start + name.size() + 4;
  return request.substr(value, request.find("\r\n", value) - value);
}

// Serves one connection at a time, as the client uses one at a time, and counts the tags it
// answered. The first request on a connection is never raced: the client opened it to send.
class ClosingServer {
 public:
  ClosingServer(Clock::time_point schedule, unsigned seed, SSL_CTX* tls)
      : schedule_(schedule),
        random_(seed),
        server_(
            [this](testsupport::FaultServer& server, int connection) { serve(server, connection); },
            [tls](std::size_t) { return tls; }) {}

  [[nodiscard]] std::uint16_t port() const { return server_.port(); }
  [[nodiscard]] std::size_t connections() const { return server_.acceptCount(); }
  [[nodiscard]] std::map<std::string, int> processed() const {
    std::lock_guard lock(mutex_);
    return processed_;
  }

 private:
  void serve(testsupport::FaultServer& server, int connection) {
    for (bool idle = false;; idle = true) {
      if (idle && !readableBeforeClose(connection)) return;  // closes with the request unread
      const auto request = server.readRequest(connection);
      if (!request) return;
      const auto tag = field(*request, "X-Tag");
      const auto index = std::stoul(tag.substr(tag.find('-') + 1));
      {
        std::lock_guard lock(mutex_);
        ++processed_[tag];
      }
      if (!server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")) return;
      std::uniform_int_distribution<int> jitter(-kJitterMicroseconds, kJitterMicroseconds);
      closeAt_ = schedule_ + kPeriod * (index + 1) + std::chrono::microseconds(jitter(random_));
    }
  }

  // Whether the next request arrives before the close is due.
  bool readableBeforeClose(int connection) const {
    const auto left = std::max(Clock::duration::zero(), closeAt_ - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{seconds.count(), std::chrono::nanoseconds(left - seconds).count()};
    pollfd fd{connection, POLLIN, 0};
    return ::ppoll(&fd, 1, &timeout, nullptr) == 1;
  }

  const Clock::time_point schedule_;  // when request 0 is due
  std::mt19937 random_;
  Clock::time_point closeAt_;
  mutable std::mutex mutex_;
  std::map<std::string, int> processed_;
  testsupport::FaultServer server_;  // last: its thread uses the members above
};

// A server context for the API host's certificate, and a CA file that the client trusts.
class ServerTLS {
 public:
  ServerTLS() : context_(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free) {
    const auto issued = authority_.issue(testsupport::apiHost().host);
    if (SSL_CTX_use_certificate_chain_file(context_.get(), issued.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_.get(), issued.keyFile.c_str(), SSL_FILETYPE_PEM) !=
            1) {
      throw std::runtime_error("ServerTLS: bad certificate or key");
    }
  }
  [[nodiscard]] SSL_CTX* context() const { return context_.get(); }
  [[nodiscard]] const std::string& caFile() const { return authority_.caFile(); }

 private:
  tools::LocalCertificateAuthority authority_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
};

// Sends one request and waits for its end: "" for a 200, else what went wrong.
using Send = std::function<std::string(const std::string& method, const std::string& tag)>;
constexpr std::string_view kPostBody = R"({"email":"race@example.test"})";

Send librarySend(std::shared_ptr<HTTPClient> client, URL url) {
  return [client, url](const std::string& method, const std::string& tag) -> std::string {
    URLRequest request(url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 5.0);
    request.setHTTPMethod(method);
    request.setValue(tag, "X-Tag");
    if (method == "POST") request.setHTTPBody(toData(kPostBody));
    auto answer = perform(*client, std::move(request), useFuture);
    if (answer.wait_for(10s) != std::future_status::ready) return "no completion within 10 s";
    const auto result = answer.get();
    if (!result) return to_string(result.error());
    const auto status = result.value().response().statusCode();
    return status == 200 ? "" : "status " + std::to_string(status);
  };
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// libcurl alone, as the curl tool uses it: one easy handle, its connection kept between requests.
Send libcurlSend(const std::string& url, const ServerTLS* tls, std::uint16_t port) {
  std::shared_ptr<CURL> easy(curl_easy_init(), &curl_easy_cleanup);
  std::shared_ptr<curl_slist> connectTo;
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, discard);
  if (tls) {
    const auto host = testsupport::apiHost();
    const auto route =
        host.host + ":" + std::to_string(host.port) + ":127.0.0.1:" + std::to_string(port);
    connectTo.reset(curl_slist_append(nullptr, route.c_str()), &curl_slist_free_all);
    curl_easy_setopt(easy.get(), CURLOPT_CAINFO, tls->caFile().c_str());
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_TO, connectTo.get());
  }
  return [easy, connectTo](const std::string& method, const std::string& tag) -> std::string {
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, ("X-Tag: " + tag).c_str()), &curl_slist_free_all);
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
    if (method == "POST") {
      curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, kPostBody.data());
      curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(kPostBody.size()));
    } else {
      curl_easy_setopt(easy.get(), CURLOPT_HTTPGET, 1L);
    }
    const CURLcode code = curl_easy_perform(easy.get());
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) return curl_easy_strerror(code);
    return status == 200 ? "" : "status " + std::to_string(status);
  };
}

void race(const std::string& method, const ServerTLS* tls, bool bare, std::size_t requests,
          unsigned seed) {
  const auto schedule = Clock::now() + 200ms;
  ClosingServer server(schedule, seed, tls ? tls->context() : nullptr);
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http", "https"};
  configuration.http2 = false;
  auto url = *URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/race");
  if (tls) {
    const auto host = testsupport::apiHost();
    configuration.additionalCABundlePath = tls->caFile();
    configuration.hostOverrides = {{host.host, host.port, "127.0.0.1", server.port()}};
    url = apiBaseURL().appendingPathComponent("race");
  }
  auto session = URLSession::create(configuration);
  const Send send =
      bare ? libcurlSend(url.absoluteString(), tls, server.port())
           : librarySend(URLSessionHTTPClient::create(session, "KeepAliveRace/1"), url);
  std::map<std::string, std::size_t> failures;  // text -> count
  std::vector<std::string> failedTags;
  for (std::size_t i = 0; i < requests; ++i) {
    std::this_thread::sleep_until(schedule + kPeriod * i);
    const auto tag = method + "-" + std::to_string(i);
    if (const auto failure = send(method, tag); !failure.empty()) {
      ++failures[failure];
      failedTags.push_back(tag);
    }
  }
  session->finishTasksAndInvalidate();
  const auto processed = server.processed();
  std::size_t twice = 0, failedButProcessed = 0;
  for (const auto& [tag, count] : processed) twice += count > 1;
  for (const auto& tag : failedTags) failedButProcessed += processed.count(tag);
  std::printf(
      "%s %s %s requests=%zu failures=%zu processed=%zu processed_twice=%zu "
      "failed_but_processed=%zu connections=%zu\n",
      bare ? "libcurl" : "library", tls ? "tls" : "plain", method.c_str(), requests,
      failedTags.size(), processed.size(), twice, failedButProcessed, server.connections());
  for (const auto& [text, count] : failures) std::printf("  %zu x %s\n", count, text.c_str());
}

}  // namespace
}  // namespace tamsenor::bench

int main(int argc, char** argv) {
  const std::size_t requests = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  const unsigned seed =
      argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : std::random_device{}();
  if (requests == 0 || requests > 1000) {  // eight runs of 50 s at most
    std::fprintf(stderr, "tamsenor_keepalive_race: 1..1000 requests\n");
    return 2;
  }
  std::printf("seed=%u period_ms=50 jitter_ms=5 retries=0\n", seed);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const tamsenor::bench::ServerTLS tls;
  for (const bool bare : {false, true}) {
    for (const auto* transport : {static_cast<const tamsenor::bench::ServerTLS*>(nullptr), &tls}) {
      tamsenor::bench::race("GET", transport, bare, requests, seed);
      tamsenor::bench::race("POST", transport, bare, requests, seed + 1);
    }
  }
  curl_global_cleanup();
  return 0;
}
