// Load program for the transport: drives one client kind against a loopback server for a bounded
// time at a fixed number of requests in flight, then prints one line of figures.
//
//   tamsenor_load --mode raw|session|stack|abtest|rawab|threads|httplib|beast|h2load --url URL
//                 [--concurrency N]
//                 [--connections N] [--seconds S] [--http1] [--cacert FILE]
//                 [--connect-to HOST:PORT:ADDR:PORT] [--get] [--compression]
//                 [--expect-bytes N]
//
// Every mode sends the same bytes: a POST of the sign-in body with the headers the full stack
// sends (the A/B modes: the 10-test A/B body; with --get, session and stack send a plain GET and
// count only answers of --expect-bytes decoded bytes; with --compression their session offers
// content codings, as it does by default outside this program). raw and rawab are libcurl's multi
// interface driven straight on this thread; threads starts a thread and a fresh handle per request.
// httplib, beast and h2load are other clients (PeerDrivers.cpp).
//
// --cacert is the whole trust store of the raw and peer modes (CURLOPT_CAINFO) but one CA added to
// the system's store in the library modes; to verify against the same CAs, give the raw modes the
// system bundle with that CA appended.
#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "LoadOptions.hpp"
#include "LoadStats.hpp"

namespace tamsenor::bench {
int runLibrary(const LoadOptions& options, LoadStats& stats);  // LibraryDrivers.cpp
int runPeer(const LoadOptions& options, LoadStats& stats);     // PeerDrivers.cpp
}  // namespace tamsenor::bench

namespace tamsenor::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct CurlSlist {
  curl_slist* list = nullptr;
  ~CurlSlist() { curl_slist_free_all(list); }
};

size_t collectBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One easy handle set up exactly as the session sends: the same headers, body and TLS settings.
struct RawTransfer {
  CURL* easy = curl_easy_init();
  std::string body;
  Clock::time_point started;

  RawTransfer(const LoadOptions& options, const CurlSlist& headers, const std::string& payload) {
    curl_easy_setopt(easy, CURLOPT_URL, options.url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                     options.http1 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (!options.cacert.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.cacert.c_str());
    // Without a CA folder libcurl keeps the parsed store between connections, as the session does.
    curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    if (options.connectTo.list) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, options.connectTo.list);
  }
  ~RawTransfer() { curl_easy_cleanup(easy); }
  RawTransfer(const RawTransfer&) = delete;
  RawTransfer& operator=(const RawTransfer&) = delete;
};

CurlSlist rawHeaders(const LoadOptions& options) {
  CurlSlist headers;
  for (const auto& line : options.headerLines()) {
    headers.list = curl_slist_append(headers.list, line.c_str());
  }
  return headers;
}

// libcurl's multi interface on this thread: the limit any client built on it can reach.
int runRawMulti(const LoadOptions& options, LoadStats& stats) {
  const CurlSlist headers = rawHeaders(options);
  const std::string payload = options.payload();
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(options.connections()));
  std::vector<std::unique_ptr<RawTransfer>> transfers;
  const auto deadline = Clock::now() + options.duration();
  stats.start();
  for (std::size_t i = 0; i < options.concurrency; ++i) {
    auto& transfer =
        transfers.emplace_back(std::make_unique<RawTransfer>(options, headers, payload));
    curl_easy_setopt(transfer->easy, CURLOPT_PRIVATE, transfer.get());
    transfer->started = Clock::now();
    curl_multi_add_handle(multi, transfer->easy);
  }
  int running = 1;
  while (running > 0) {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      RawTransfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      long status = 0;
      curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
      const bool ok =
          message->data.result == CURLE_OK && status == 200 && options.acceptBody(transfer->body);
      curl_multi_remove_handle(multi, transfer->easy);
      const auto now = Clock::now();
      stats.record(now - transfer->started, ok);
      if (now < deadline) {
        transfer->body.clear();
        transfer->started = now;
        curl_multi_add_handle(multi, transfer->easy);
        ++running;
      }
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  stats.stop();
  transfers.clear();
  curl_multi_cleanup(multi);
  return 0;
}

// A thread and a fresh easy handle per request, as thread-per-request wrappers do.
int runThreadPerRequest(const LoadOptions& options, LoadStats& stats) {
  const CurlSlist headers = rawHeaders(options);
  const std::string payload = options.payload();
  std::counting_semaphore<> slots(static_cast<std::ptrdiff_t>(options.concurrency));
  std::mutex mutex;
  std::condition_variable idle;
  std::size_t inFlight = 0;
  const auto deadline = Clock::now() + options.duration();
  stats.start();
  while (Clock::now() < deadline) {
    slots.acquire();
    {
      std::lock_guard lock(mutex);
      ++inFlight;
    }
    std::thread([&] {
      RawTransfer transfer(options, headers, payload);
      transfer.started = Clock::now();
      const CURLcode code = curl_easy_perform(transfer.easy);
      long status = 0;
      curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
      const bool ok = code == CURLE_OK && status == 200 && options.acceptBody(transfer.body);
      std::lock_guard lock(mutex);
      stats.record(Clock::now() - transfer.started, ok);
      if (--inFlight == 0) idle.notify_all();
      slots.release();
    }).detach();
  }
  std::unique_lock lock(mutex);
  idle.wait(lock, [&] { return inFlight == 0; });
  stats.stop();
  return 0;
}

}  // namespace
}  // namespace tamsenor::bench

int main(int argc, char** argv) {
  using namespace tamsenor::bench;
  const auto options = LoadOptions::parse(argc, argv);
  if (!options) return 2;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  LoadStats stats;
  int status = 0;
  if (options->mode == "raw" || options->mode == "rawab") {
    status = runRawMulti(*options, stats);
  } else if (options->mode == "threads") {
    status = runThreadPerRequest(*options, stats);
  } else if (options->mode == "httplib" || options->mode == "beast" || options->mode == "h2load") {
    status = runPeer(*options, stats);
  } else {
    status = runLibrary(*options, stats);
  }
  if (status == 0) stats.print(*options);
  curl_global_cleanup();
  return status;
}
