#include "support/FaultServer.hpp"
#include "support/Deadline.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace tamsenor::testsupport {

namespace {

using testsupport::millisecondsLeft;

constexpr auto kGiveUpAfter = std::chrono::seconds(10);

int boundLoopbackSocket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("bind");
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

FaultServer::FaultServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
  listener_ = boundLoopbackSocket(port_);
  if (::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    ::close(listener_);
    throw std::runtime_error("listen");
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

void FaultServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    ++accepted_;
    behaviour_(*this, connection);
    ::close(connection);
  }
}

std::optional<std::string> FaultServer::readRequestHead(int connection) {
  return readUntil(connection, [](const std::string& received) {
    return received.find("\r\n\r\n") != std::string::npos;
  });
}

std::optional<std::string> FaultServer::readRequest(int connection) {
  return readUntil(connection, [](const std::string& received) {
    const auto end = received.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::size_t length = 0;
    const auto field = received.find("Content-Length: ");
    if (field != std::string::npos && field < end) {
      length = std::stoul(received.substr(field + 16, end - field - 16));
    }
    return received.size() >= end + 4 + length;
  });
}

std::optional<std::string> FaultServer::readUntil(
    int connection, const std::function<bool(const std::string&)>& complete) {
  const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
  std::string received;
  while (!complete(received)) {
    pollfd fds[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, millisecondsLeft(deadline)) <= 0 || fds[1].revents != 0) return {};
    char buffer[4096];
    const auto count = ::recv(connection, buffer, sizeof buffer, 0);
    if (count <= 0) return {};
    received.append(buffer, static_cast<std::size_t>(count));
  }
  return received;
}

std::vector<int> FaultServer::acceptMore(std::size_t count, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  std::vector<int> connections;
  while (connections.size() < count) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, millisecondsLeft(deadline)) <= 0 || fds[1].revents != 0) break;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    ++accepted_;
    connections.push_back(connection);
  }
  return connections;
}

bool FaultServer::send(int connection, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto count = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool FaultServer::pause(std::chrono::milliseconds duration) {
  pollfd fd{stopPipe_[0], POLLIN, 0};
  return ::poll(&fd, 1, static_cast<int>(duration.count())) == 0;
}

void FaultServer::waitUntilStopped() { pause(kGiveUpAfter); }

void FaultServer::resetOnClose(int connection) {
  const linger abortive{1, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

RefusingPort::RefusingPort() { socket_ = boundLoopbackSocket(port_); }

RefusingPort::~RefusingPort() { ::close(socket_); }

}  // namespace tamsenor::testsupport
