// What waiting costs: 1,000 transfers wait on a loopback server that accepts and reads but never
// answers, and the process's CPU time is measured over a 10-second window that starts a second
// after every request has arrived. Once through a URLSession (requests with a 60 s time-out), once
// through bare libcurl multi driven by curl_multi_poll (CURLOPT_TIMEOUT 60 s), which wakes only
// for libcurl's own timers within the window. Prints for each the CPU time as a share of one core.
//
//   tamsenor_idle_cost [TRANSFERS=1000] [SECONDS=10]
#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultServer.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
// From the last request's arrival to the window: the client may still be finishing its sends.
constexpr auto kSettle = 1s;

// Accepts every connection and reads whatever arrives, on one thread; answers nothing.
class SilentServer {
 public:
  SilentServer() : listener_(testsupport::boundLoopbackSocket(port_)) {
    if (::listen(listener_, 4096) != 0 || ::fcntl(listener_, F_SETFL, O_NONBLOCK) != 0) {
      throw std::runtime_error("SilentServer: cannot listen");
    }
    watch(listener_);
    watch(stop_);
    thread_ = std::thread([this] { serve(); });
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  ~SilentServer() {
    ::eventfd_write(stop_, 1);
    thread_.join();
    for (std::size_t fd = 0; fd < heard_.size(); ++fd) {
      if (heard_[fd] >= 0) ::close(static_cast<int>(fd));
    }
    for (const int fd : {listener_, stop_, epoll_}) ::close(fd);
  }

  [[nodiscard]] std::uint16_t port() const { return port_; }
  // Connections that have sent something: requests waiting for an answer.
  [[nodiscard]] std::size_t requests() const { return requests_.load(); }

 private:
  void watch(int fd) {
    epoll_event event{EPOLLIN, {.fd = fd}};
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void serve() {
    epoll_event events[64];
    for (;;) {
      const int ready = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == listener_) {
          for (int connection; (connection = ::accept4(listener_, nullptr, nullptr,
                                                       SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            if (heard_.size() <= static_cast<std::size_t>(connection)) {
              heard_.resize(static_cast<std::size_t>(connection) + 1, -1);
            }
            heard_[static_cast<std::size_t>(connection)] = 0;
            watch(connection);
          }
          continue;
        }
        char buffer[4096];
        const long count = ::recv(fd, buffer, sizeof buffer, 0);
        auto& heard = heard_[static_cast<std::size_t>(fd)];
        if (count > 0 && heard == 0) {
          heard = 1;
          ++requests_;
        } else if (count == 0) {  // the client gave up
          ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
          ::close(fd);
          heard = -1;
        }
      }
    }
  }

  std::uint16_t port_ = 0;
  int listener_;
  int stop_ = ::eventfd(0, EFD_CLOEXEC);
  int epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> heard_;  // by descriptor: -1 not open, 0 silent so far, 1 sent something
  std::atomic<std::size_t> requests_{0};
  std::thread thread_;
};

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](timeval t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void report(const char* name, std::size_t waiting, double cpu, double seconds, std::size_t ended) {
  std::printf("%s transfers=%zu cpu_seconds=%.3f cpu_percent=%.2f ended_in_window=%zu\n", name,
              waiting, cpu, cpu / seconds * 100, ended);
}

bool waitForRequests(const SilentServer& server, std::size_t count) {
  for (const auto deadline = Clock::now() + 30s; server.requests() < count;) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void library(std::size_t transfers, double seconds) {
  SilentServer server;
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  configuration.maxConnectionsPerHost = 0;
  auto session = URLSession::create(configuration);
  const auto url = *URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/idle");
  auto ended = std::make_shared<std::atomic<std::size_t>>(0);
  for (std::size_t i = 0; i < transfers; ++i) {
    session
        ->dataTask(URLRequest(url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 60.0),
                   [ended](auto, auto, auto) { ++*ended; })
        .resume();
  }
  if (!waitForRequests(server, transfers)) {
    std::printf("library: only %zu of %zu requests arrived\n", server.requests(), transfers);
  } else {
    std::this_thread::sleep_for(kSettle);
    const double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    report("library", server.requests(), cpuSeconds() - before, seconds, ended->load());
  }
  session->invalidateAndCancel();
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void bareLibcurl(std::size_t transfers, double seconds) {
  SilentServer server;
  const auto url = "http://127.0.0.1:" + std::to_string(server.port()) + "/idle";
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> easies;
  for (std::size_t i = 0; i < transfers; ++i) {
    CURL* easy = easies.emplace_back(curl_easy_init());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    curl_multi_add_handle(multi, easy);
  }
  std::size_t ended = 0;
  std::optional<double> before;                  // CPU seconds at the window's start
  std::optional<Clock::time_point> windowStart;  // known once every request has arrived
  const auto window =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto giveUp = Clock::now() + 30s;
  for (int running = 1; running > 0;) {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      ended += message->msg == CURLMSG_DONE;
    }
    const auto now = Clock::now();
    if (!windowStart && server.requests() == transfers) windowStart = now + kSettle;
    if (!before && windowStart && now >= *windowStart) {
      before = cpuSeconds();
      ended = 0;
    }
    if (before && now >= *windowStart + window) {
      report("libcurl", server.requests(), cpuSeconds() - *before, seconds, ended);
      break;
    }
    if (!windowStart && now > giveUp) {
      std::printf("libcurl: only %zu of %zu requests arrived\n", server.requests(), transfers);
      break;
    }
    const auto wake = !windowStart ? now + 10ms : before ? *windowStart + window : *windowStart;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(left.count()), nullptr);
  }
  for (CURL* easy : easies) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
  }
  curl_multi_cleanup(multi);
}

}  // namespace
}  // namespace tamsenor::bench

int main(int argc, char** argv) {
  const std::size_t transfers = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 10;
  if (transfers == 0 || transfers > 5000 || !(seconds > 0 && seconds <= 60)) {
    std::fprintf(stderr, "tamsenor_idle_cost: 1..5000 transfers, 0..60 seconds\n");
    return 2;
  }
  // Each transfer holds two descriptors here: the client's socket and the server's.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2 * transfers + 100) {
    std::fprintf(stderr, "tamsenor_idle_cost: %zu transfers need %zu descriptors, may open %llu\n",
                 transfers, 2 * transfers + 100, static_cast<unsigned long long>(limit.rlim_cur));
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::printf("window_s=%.1f\n", seconds);
  tamsenor::bench::library(transfers, seconds);
  tamsenor::bench::bareLibcurl(transfers, seconds);
  curl_global_cleanup();
  return 0;
}
