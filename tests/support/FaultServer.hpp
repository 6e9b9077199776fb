#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tamsenor::testsupport {

// A socket bound to an ephemeral port of 127.0.0.1 (not yet listening), and that port.
inline int boundLoopbackSocket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// A raw TCP (or TLS) server on 127.0.0.1 for answers no HTTP server library makes: connections go
// to the behaviour one at a time on its thread and close when it returns.
class FaultServer {
 public:
  using Behaviour = std::function<void(FaultServer& server, int connection)>;
  // The context for the 1-based connection number; null for plain TCP.
  using TLSContext = std::function<SSL_CTX*(std::size_t connection)>;

  explicit FaultServer(Behaviour behaviour, TLSContext tls = {})
      : behaviour_(std::move(behaviour)),
        tls_(std::move(tls)),
        listener_(boundLoopbackSocket(port_)) {
    if (::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
      throw std::runtime_error("FaultServer: cannot listen");
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~FaultServer() {
    [[maybe_unused]] const auto written = ::write(stopPipe_[1], "", 1);
    thread_.join();
    for (const int fd : {listener_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
  }

  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  [[nodiscard]] std::size_t acceptCount() const noexcept { return accepted_.load(); }

  // The bytes that arrive next; none once the peer closed, the server stops or after 10 s.
  std::string receive(int connection) {
    char buffer[16384];
    long count = 0;
    if ((ssl_ && SSL_pending(ssl_) > 0) || wait(connection, kGiveUpMilliseconds) == 1) {
      count = ssl_ ? SSL_read(ssl_, buffer, sizeof buffer)
                   : ::recv(connection, buffer, sizeof buffer, 0);
    }
    return std::string(buffer, count > 0 ? static_cast<std::size_t>(count) : 0);
  }
  // The request line and header fields up to and including the blank line; nothing on failure.
  std::optional<std::string> readRequestHead(int connection) {
    return readRequest(connection, false);
  }
  // The whole request: its head and then as many body bytes as its Content-Length announces.
  std::optional<std::string> readRequest(int connection, bool withBody = true) {
    std::string received;
    for (;;) {
      const auto end = received.find("\r\n\r\n");
      const auto field = received.find("\r\nContent-Length: ");
      if (end != std::string::npos &&
          received.size() >=
              end + 4 + (withBody && field < end ? std::stoul(received.substr(field + 18)) : 0)) {
        return received;
      }
      const auto more = receive(connection);
      if (more.empty()) return std::nullopt;
      received += more;
    }
  }
  bool send(int connection, std::string_view bytes) {
    while (!bytes.empty()) {
      const long sent = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                             : ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }
  // Ends this side and waits for the peer's close, so that what it still sends gets no reset.
  void finish(int connection) {
    if (ssl_) SSL_shutdown(ssl_);
    ::shutdown(connection, SHUT_WR);
    char buffer[4096];
    while (wait(connection, kGiveUpMilliseconds) == 1 &&
           ::recv(connection, buffer, sizeof buffer, 0) > 0) {
    }
  }
  // Up to `count` further plain connections arriving within `within`; the behaviour closes them.
  std::vector<int> acceptMore(std::size_t count, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::vector<int> connections;
    while (connections.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || wait(listener_, static_cast<int>(left.count())) != 1) break;
      if (const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          connection >= 0) {
        ++accepted_;
        connections.push_back(connection);
      }
    }
    return connections;
  }
  // Whether the connection being served agreed on HTTP/2 (ALPN "h2").
  bool speaksHTTP2() const {
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    if (ssl_) SSL_get0_alpn_selected(ssl_, &protocol, &length);
    return length == 2 && protocol[0] == 'h' && protocol[1] == '2';
  }
  // Waits `duration`; false when the server stopped meanwhile.
  bool pause(std::chrono::milliseconds duration) {
    return wait(-1, static_cast<int>(duration.count())) == 0;
  }
  void waitUntilStopped() { pause(std::chrono::milliseconds(kGiveUpMilliseconds)); }

 private:
  static constexpr int kGiveUpMilliseconds = 10'000;

  // 1 once `fd` is readable, 0 when `milliseconds` passed first, -1 once the server stops.
  int wait(int fd, int milliseconds) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, milliseconds);
    return fds[1].revents != 0 ? -1 : ready > 0 ? 1 : 0;
  }

  void serve() {
    // OpenSSL writes without MSG_NOSIGNAL: a client gone must fail the write, not end the program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (int ready; (ready = wait(listener_, -1)) >= 0;) {
      const int connection = ready ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (connection < 0) continue;
      const std::size_t number = ++accepted_;
      // Answers go out as written, not held back for the client's delayed acknowledgement.
      const int noDelay = 1;
      ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
      if (SSL_CTX* context = tls_ ? tls_(number) : nullptr) {
        const timeval limit{kGiveUpMilliseconds / 1000, 0};  // bounds the blocking TLS calls
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ssl_ = SSL_new(context);
        SSL_set_fd(ssl_, connection);
        if (SSL_accept(ssl_) == 1) {
          behaviour_(*this, connection);
          SSL_shutdown(ssl_);
        }
        SSL_free(std::exchange(ssl_, nullptr));
        ERR_clear_error();
      } else {
        behaviour_(*this, connection);
      }
      ::close(connection);
    }
  }

  Behaviour behaviour_;
  TLSContext tls_;
  std::uint16_t port_ = 0;
  int listener_;
  int stopPipe_[2] = {-1, -1};
  SSL* ssl_ = nullptr;  // the connection being served, under TLS
  std::atomic<std::size_t> accepted_{0};
  std::thread thread_;
};

// A loopback port that refuses connections: bound, never listening, held so no one else takes it.
class RefusingPort {
 public:
  RefusingPort() : socket_(boundLoopbackSocket(port_)) {}
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() { ::close(socket_); }
  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }

 private:
  std::uint16_t port_ = 0;
  int socket_;
};

}  // namespace tamsenor::testsupport
