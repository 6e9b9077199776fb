#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CurlHandles.hpp"

namespace tamsenor::detail {

// The sockets of a session's connections. libcurl opens and closes them through these hooks, so
// that a request about to go out on a kept-alive connection can look at its socket first: libcurl
// 7.88 says which connection it chose only by the addresses of its two ends. On the loop thread
// only; it must outlive the multi handle, which closes the last connections.
class ConnectionSockets {
 public:
  ConnectionSockets() = default;
  ConnectionSockets(const ConnectionSockets&) = delete;
  ConnectionSockets& operator=(const ConnectionSockets&) = delete;

  void installOn(EasyOptions& set);
  // The socket connecting these two ends, or CURL_SOCKET_BAD.
  [[nodiscard]] curl_socket_t find(const char* localAddress, long localPort,
                                   const char* peerAddress, long peerPort);

 private:
  struct Named {
    curl_socket_t socket;
    std::uint16_t localPort;
    std::uint16_t peerPort;
    std::string localAddress;
    std::string peerAddress;
  };

  static curl_socket_t onOpen(void* sockets, curlsocktype purpose, curl_sockaddr* address) noexcept;
  static int onClose(void* sockets, curl_socket_t socket) noexcept;
  // Moves the connected sockets among the unnamed ones to the named ones.
  void nameConnected();

  std::vector<curl_socket_t> unnamed_;  // opened, not yet looked up
  std::vector<Named> named_;
};

}  // namespace tamsenor::detail
