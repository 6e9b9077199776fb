#include "support/FaultServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tamsenor::testsupport {

namespace {

constexpr int kGiveUpMilliseconds = 10'000;

int boundLoopbackSocket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

FaultServer::FaultServer(Behaviour behaviour, TLSContext tls)
    : behaviour_(std::move(behaviour)), tls_(std::move(tls)) {
  listener_ = boundLoopbackSocket(port_);
  if (::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    ::close(listener_);
    throw std::runtime_error("FaultServer: cannot listen");
  }
  thread_ = std::thread([this] { serve(); });
}

FaultServer::~FaultServer() {
  const char byte = 0;
  [[maybe_unused]] auto written = ::write(stopPipe_[1], &byte, 1);
  thread_.join();
  ::close(listener_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

// 1 once `socket` is readable, 0 when `milliseconds` passed first, -1 once the server stops.
int FaultServer::wait(int socket, int milliseconds) {
  pollfd fds[2] = {{socket, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  const int ready = ::poll(fds, 2, milliseconds);
  return fds[1].revents != 0 ? -1 : ready > 0 ? 1 : 0;
}

void FaultServer::serve() {
  // OpenSSL writes without MSG_NOSIGNAL: a client gone must fail the write, not end the program.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (int ready; (ready = wait(listener_, -1)) >= 0;) {
    const int connection = ready ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (connection < 0) continue;
    const std::size_t number = ++accepted_;
    SSL_CTX* context = tls_ ? tls_(number) : nullptr;
    if (context) {
      const timeval limit{kGiveUpMilliseconds / 1000, 0};  // bounds the blocking TLS calls
      ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ssl_ = SSL_new(context);
      SSL_set_fd(ssl_, connection);
      if (SSL_accept(ssl_) == 1) {
        behaviour_(*this, connection);
        SSL_shutdown(ssl_);
      }
      SSL_free(ssl_);
      ssl_ = nullptr;
      ERR_clear_error();
    } else {
      behaviour_(*this, connection);
    }
    ::close(connection);
  }
}

std::string FaultServer::receive(int connection) {
  char buffer[16384];
  long count = 0;
  if (ssl_ && SSL_pending(ssl_) > 0) {
    count = SSL_read(ssl_, buffer, sizeof buffer);
  } else if (wait(connection, kGiveUpMilliseconds) == 1) {
    count =
        ssl_ ? SSL_read(ssl_, buffer, sizeof buffer) : ::recv(connection, buffer, sizeof buffer, 0);
  }
  return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

std::optional<std::string> FaultServer::readUntil(
    int connection, const std::function<bool(const std::string&)>& complete) {
  std::string received;
  while (!complete(received)) {
    const auto more = receive(connection);
    if (more.empty()) return {};
    received += more;
  }
  return received;
}

std::optional<std::string> FaultServer::readRequestHead(int connection) {
  return readUntil(connection, [](const std::string& received) {
    return received.find("\r\n\r\n") != std::string::npos;
  });
}

std::optional<std::string> FaultServer::readRequest(int connection) {
  return readUntil(connection, [](const std::string& received) {
    const auto end = received.find("\r\n\r\n");
    const auto field = received.find("\r\nContent-Length: ");
    if (end == std::string::npos) return false;
    const auto length = field < end ? std::stoul(received.substr(field + 18)) : 0;
    return received.size() >= end + 4 + length;
  });
}

std::vector<int> FaultServer::acceptMore(std::size_t count, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  std::vector<int> connections;
  while (connections.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || wait(listener_, static_cast<int>(left.count())) != 1) break;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    ++accepted_;
    connections.push_back(connection);
  }
  return connections;
}

bool FaultServer::send(int connection, std::string_view bytes) {
  while (!bytes.empty()) {
    const long count = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                            : ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

void FaultServer::finish(int connection) {
  if (ssl_) SSL_shutdown(ssl_);
  ::shutdown(connection, SHUT_WR);
  char buffer[4096];
  while (wait(connection, kGiveUpMilliseconds) == 1 &&
         ::recv(connection, buffer, sizeof buffer, 0) > 0) {
  }
}

bool FaultServer::pause(std::chrono::milliseconds duration) {
  return wait(-1, static_cast<int>(duration.count())) == 0;
}

void FaultServer::waitUntilStopped() { pause(std::chrono::milliseconds(kGiveUpMilliseconds)); }

void FaultServer::resetOnClose(int connection) {
  const linger abortive{1, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

RefusingPort::RefusingPort() { socket_ = boundLoopbackSocket(port_); }

RefusingPort::~RefusingPort() { ::close(socket_); }

}  // namespace tamsenor::testsupport
