// The load program's peer modes: other HTTP clients sending the same request to the same server,
// each run the way its users run it. cpp-httplib blocks, so it gets one thread and one client per
// request in flight; Boost.Beast keeps every connection on one io_context on this thread; h2load
// runs as a child process, and its own log gives the latencies.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <httplib.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LoadOptions.hpp"
#include "LoadStats.hpp"

namespace tamsenor::bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

// Where the request goes: the URL's host and path, and the address actually dialled (--connect-to
// moves it, as it does for libcurl; the Host field, SNI and certificate check keep the URL's host).
struct Target {
  bool tls = false;
  std::string authority;  // host[:port], the Host field
  std::string host;
  int port = 0;
  std::string path;
  std::string address;
  int addressPort = 0;

  static std::optional<Target> parse(const LoadOptions& options) {
    Target target;
    std::string_view rest = options.url;
    if (rest.starts_with("https://")) {
      target.tls = true;
      rest.remove_prefix(8);
    } else if (rest.starts_with("http://")) {
      rest.remove_prefix(7);
    } else {
      return std::nullopt;
    }
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    target.path = rest.substr(slash);
    const std::string_view authority = rest.substr(0, slash);
    target.authority = authority;
    const auto colon = authority.find(':');
    target.host = authority.substr(0, colon);
    target.port = colon == std::string_view::npos
                      ? (target.tls ? 443 : 80)
                      : std::stoi(std::string(authority.substr(colon + 1)));
    target.address = target.host;
    target.addressPort = target.port;
    // HOST:PORT:ADDR:PORT, taken only for its own host and port, as libcurl does.
    const std::string& text = options.connectToText;
    const std::string from = target.host + ":" + std::to_string(target.port) + ":";
    if (text.starts_with(from)) {
      const auto portAt = text.find(':', from.size());
      if (portAt == std::string::npos) return std::nullopt;
      target.address = text.substr(from.size(), portAt - from.size());
      target.addressPort = std::stoi(text.substr(portAt + 1));
    }
    return target;
  }
};

// The value of each "Name: value" line the load program sends.
std::string headerValue(const LoadOptions& options, std::string_view name) {
  for (const auto& line : options.headerLines()) {
    if (line.starts_with(name) && line.size() > name.size() + 1 && line[name.size()] == ':') {
      return line.substr(name.size() + 2);
    }
  }
  return {};
}

// One thread per request in flight, each with its own keep-alive client, as blocking clients are
// run. Latencies stay in the thread until it ends, so recording takes no lock.
int runHttplib(const LoadOptions& options, const Target& target, LoadStats& stats) {
  const std::string payload = options.payload();
  httplib::Headers headers = {{"Host", target.authority},
                              {"Accept", headerValue(options, "Accept")},
                              {"User-Agent", headerValue(options, "User-Agent")},
                              {"Authorization", headerValue(options, "Authorization")}};
  const std::string contentType = headerValue(options, "Content-Type");
  using Sample = std::pair<Clock::duration, bool>;
  std::vector<std::vector<Sample>> samples(options.concurrency);
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(options.duration());
  stats.start();
  std::vector<std::thread> threads;
  for (auto& mine : samples) {
    threads.emplace_back([&] {
      std::unique_ptr<httplib::ClientImpl> client;
      if (target.tls) {
        auto tls = std::make_unique<httplib::SSLClient>(target.host, target.addressPort);
        tls->set_ca_cert_path(options.cacert.c_str());
        tls->enable_server_certificate_verification(true);
        client = std::move(tls);
      } else {
        client = std::make_unique<httplib::ClientImpl>(target.address, target.addressPort);
      }
      client->set_hostname_addr_map({{target.host, target.address}});
      client->set_keep_alive(true);
      // It writes the header and the body apart; with Nagle on, each request would wait out the
      // server's delayed ACK (about 40 ms here). libcurl turns Nagle off too.
      client->set_tcp_nodelay(true);
      client->set_decompress(false);  // no Accept-Encoding: the others send none
      for (auto now = Clock::now(); now < deadline;) {
        const auto result =
            client->Post(target.path.c_str(), headers, payload, contentType.c_str());
        const auto finished = Clock::now();
        mine.emplace_back(finished - now, result && result->status == 200);
        if (!result) break;  // a client that lost its server stops, and the failure shows
        now = finished;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stats.stop();
  for (const auto& mine : samples) {
    for (const auto& [latency, ok] : mine) stats.record(latency, ok);
  }
  return 0;
}

// One keep-alive connection of the Beast client: connect (and handshake), then write and read one
// request after another until the deadline. Any error ends the chain and counts as a failure.
template <class Stream>
class BeastChain {
 public:
  BeastChain(Stream stream, const http::request<http::string_body>& request,
             Clock::time_point deadline, LoadStats& stats)
      : stream_(std::move(stream)), request_(request), deadline_(deadline), stats_(stats) {}

  void start(const asio::ip::tcp::endpoint& endpoint) {
    started_ = Clock::now();
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(30));
    beast::get_lowest_layer(stream_).async_connect(endpoint, [this](beast::error_code error) {
      if (error) return fail();
      if constexpr (kTLS) {
        stream_.async_handshake(asio::ssl::stream_base::client, [this](beast::error_code shaken) {
          if (shaken) return fail();
          send();
        });
      } else {
        send();
      }
    });
  }

 private:
  static constexpr bool kTLS = !std::is_same_v<Stream, beast::tcp_stream>;

  void send() {
    // A time limit on every request, as a client in service would set one.
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(30));
    http::async_write(stream_, request_, [this](beast::error_code error, std::size_t) {
      if (error) return fail();
      response_ = {};
      http::async_read(stream_, buffer_, response_, [this](beast::error_code read, std::size_t) {
        if (read) return fail();
        const auto now = Clock::now();
        stats_.record(now - started_, response_.result_int() == 200);
        if (now >= deadline_) return beast::get_lowest_layer(stream_).close();
        started_ = now;
        send();
      });
    });
  }

  void fail() {
    stats_.record(Clock::now() - started_, false);
    beast::get_lowest_layer(stream_).close();
  }

  Stream stream_;
  const http::request<http::string_body>& request_;
  Clock::time_point deadline_;
  LoadStats& stats_;
  beast::flat_buffer buffer_;
  http::response<http::string_body> response_;
  Clock::time_point started_;
};

int runBeast(const LoadOptions& options, const Target& target, LoadStats& stats) {
  http::request<http::string_body> request(http::verb::post, target.path, 11);
  request.set(http::field::host, target.authority);
  for (const char* name : {"Content-Type", "Accept", "User-Agent", "Authorization"}) {
    request.set(name, headerValue(options, name));
  }
  request.body() = options.payload();
  request.prepare_payload();

  asio::io_context io(1);
  asio::ssl::context tls(asio::ssl::context::tls_client);
  tls.set_verify_mode(asio::ssl::verify_peer);
  if (target.tls) tls.load_verify_file(options.cacert);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(target.address),
                                         static_cast<unsigned short>(target.addressPort));
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(options.duration());
  using Plain = BeastChain<beast::tcp_stream>;
  using Secure = BeastChain<beast::ssl_stream<beast::tcp_stream>>;
  std::vector<std::unique_ptr<Plain>> plain;
  std::vector<std::unique_ptr<Secure>> secure;
  stats.start();
  for (std::size_t i = 0; i < options.concurrency; ++i) {
    if (!target.tls) {
      plain.push_back(std::make_unique<Plain>(beast::tcp_stream(io), request, deadline, stats));
      plain.back()->start(endpoint);
      continue;
    }
    beast::ssl_stream<beast::tcp_stream> stream(io, tls);
    SSL_set_tlsext_host_name(stream.native_handle(), target.host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(target.host));
    secure.push_back(std::make_unique<Secure>(std::move(stream), request, deadline, stats));
    secure.back()->start(endpoint);
  }
  io.run();
  stats.stop();
  return 0;
}

// h2load with the same concurrency: N connections of one request each over HTTP/1.1, one
// connection of N streams over HTTP/2, as libcurl multiplexes. Its CPU time is the child's, which
// LoadStats counts; its per-request log gives the latencies.
int runH2load(const LoadOptions& options, const Target& target, LoadStats& stats) {
  char directory[] = "/tmp/tamsenor-h2load-XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string bodyFile = std::string(directory) + "/body";
  const std::string logFile = std::string(directory) + "/log";
  const std::string summaryFile = std::string(directory) + "/summary";
  std::ofstream(bodyFile) << options.payload();
  const std::string n = std::to_string(options.concurrency);
  std::vector<std::string> args = {
      "h2load", "--threads=1",
      "--duration=" + std::to_string(std::lround(options.seconds * 1000)) + "ms",
      "--data=" + bodyFile, "--log-file=" + logFile};
  args.push_back(options.http1 ? "--clients=" + n : "--clients=1");
  args.push_back(options.http1 ? "--max-concurrent-streams=1" : "--max-concurrent-streams=" + n);
  if (options.http1) args.emplace_back("--h1");
  // Left to itself h2load prefers AES-128; libcurl, cpp-httplib and Asio get AES-256 from nginx.
  if (target.tls) args.emplace_back("--ciphers=ECDHE-RSA-AES256-GCM-SHA384");
  args.push_back("--connect-to=" + target.address + ":" + std::to_string(target.addressPort));
  for (const auto& line : options.headerLines()) args.push_back("--header=" + line);
  args.push_back(options.url);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  stats.start();
  pid_t child = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, summaryFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int spawned = posix_spawnp(&child, "h2load", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 1;
  if (spawned == 0) waitpid(child, &status, 0);
  stats.stop();
  const bool ran = spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (ran) {
    // Columns: start time (us since the epoch), status, microseconds to the end of the response.
    std::ifstream log(logFile);
    long long start = 0;
    int code = 0;
    long long micros = 0;
    while (log >> start >> code >> micros) {
      stats.record(std::chrono::microseconds(micros), code == 200);
    }
    // Requests that met a transport error have no log row; they count as failures, with no
    // latency to give.
    std::ifstream summary(summaryFile);
    for (std::string word, previous; summary >> word; previous = word) {
      if (!word.starts_with("errored")) continue;
      for (auto errored = std::stoul(previous); errored > 0; --errored) {
        stats.record(Clock::duration::zero(), false);
      }
    }
  }
  for (const auto& file : {bodyFile, logFile, summaryFile}) std::remove(file.c_str());
  rmdir(directory);
  if (!ran) std::fprintf(stderr, "tamsenor_load: h2load did not run to the end\n");
  return ran ? 0 : 1;
}

}  // namespace

int runPeer(const LoadOptions& options, LoadStats& stats) {
  const auto target = Target::parse(options);
  if (!target) {
    std::fprintf(stderr, "tamsenor_load: bad --url or --connect-to\n");
    return 2;
  }
  if (options.mode != "h2load" && !options.http1) {
    std::fprintf(stderr, "tamsenor_load: --mode %s speaks HTTP/1.1 only\n", options.mode.c_str());
    return 2;
  }
  if (options.mode == "httplib") return runHttplib(options, *target, stats);
  if (options.mode == "beast") return runBeast(options, *target, stats);
  return runH2load(options, *target, stats);
}

}  // namespace tamsenor::bench
