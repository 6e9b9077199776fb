#include "platform/ConnectionSockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tamsenor::detail {

namespace {

// The address as libcurl writes it in its connection info, and the port.
bool describe(const sockaddr_storage& address, std::string& text, std::uint16_t& port) {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    port = ntohs(in.sin_port);
    if (!inet_ntop(AF_INET, &in.sin_addr, buffer, sizeof buffer)) return false;
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    port = ntohs(in6.sin6_port);
    if (!inet_ntop(AF_INET6, &in6.sin6_addr, buffer, sizeof buffer)) return false;
  } else {
    return false;
  }
  text = buffer;
  return true;
}

}  // namespace

void ConnectionSockets::installOn(EasyOptions& set) {
  set(CURLOPT_OPENSOCKETFUNCTION, &ConnectionSockets::onOpen);
  set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
  set(CURLOPT_CLOSESOCKETFUNCTION, &ConnectionSockets::onClose);
  set(CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
}

curl_socket_t ConnectionSockets::onOpen(void* sockets, curlsocktype purpose,
                                        curl_sockaddr* address) noexcept {
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  // Close-on-exec, unlike libcurl's own: a child process of the application must not hold a
  // connection open.
  const curl_socket_t socket =
      ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (socket == CURL_SOCKET_BAD) return socket;
  try {
    static_cast<ConnectionSockets*>(sockets)->unnamed_.push_back(socket);
  } catch (...) {
    ::close(socket);
    return CURL_SOCKET_BAD;
  }
  return socket;
}

int ConnectionSockets::onClose(void* sockets, curl_socket_t socket) noexcept {
  auto& self = *static_cast<ConnectionSockets*>(sockets);
  std::erase(self.unnamed_, socket);
  std::erase_if(self.named_, [socket](const Named& named) { return named.socket == socket; });
  return ::close(socket);
}

void ConnectionSockets::nameConnected() {
  std::erase_if(unnamed_, [this](curl_socket_t socket) {
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    Named named{socket, 0, 0, {}, {}};
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        !describe(local, named.localAddress, named.localPort) ||
        !describe(peer, named.peerAddress, named.peerPort)) {
      return false;  // not connected yet
    }
    named_.push_back(std::move(named));
    return true;
  });
}

curl_socket_t ConnectionSockets::find(const char* localAddress, long localPort,
                                      const char* peerAddress, long peerPort) {
  const auto matches = [&](const Named& named) {
    return named.localPort == localPort && named.peerPort == peerPort &&
           named.localAddress == localAddress && named.peerAddress == peerAddress;
  };
  auto found = std::find_if(named_.begin(), named_.end(), matches);
  if (found == named_.end() && !unnamed_.empty()) {
    try {
      nameConnected();
    } catch (...) {
      return CURL_SOCKET_BAD;
    }
    found = std::find_if(named_.begin(), named_.end(), matches);
  }
  return found == named_.end() ? CURL_SOCKET_BAD : found->socket;
}

}  // namespace tamsenor::detail
