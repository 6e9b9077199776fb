#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::testsupport {

// A raw TLS server on 127.0.0.1 and an ephemeral port (OpenSSL, one connection at a time on its
// own thread) for faults no server library makes: a certificate that is not trusted on chosen
// connections, and HTTP/2 written frame by frame (RST_STREAM, GOAWAY). It speaks HTTP/1.1 with
// "Connection: close" or, with ALPN "h2", HTTP/2 with many streams per connection. TLS sessions
// are never resumed, so every connection shows its certificate. The destructor stops and joins.
class TLSFaultServer {
 public:
  enum class Protocol { http1, http2 };
  enum class Action {
    unavailable,         // status 503, empty body
    ok,                  // status 200, body "ok"
    closeWithoutAnswer,  // the connection ends, nothing said
    resetStream,         // HTTP/2 RST_STREAM with INTERNAL_ERROR
    goAway,              // HTTP/2 GOAWAY (INTERNAL_ERROR, the stream counted as seen), then close
  };
  // What to do with a request: given the 1-based numbers of its connection and of the request.
  using Script = std::function<Action(std::size_t connection, std::size_t request)>;
  // Whether the 1-based connection shows the untrusted certificate.
  using Untrusted = std::function<bool(std::size_t connection)>;

  TLSFaultServer(Protocol protocol, const tools::LocalCertificateAuthority::Issued& trusted,
                 const tools::LocalCertificateAuthority::Issued& untrusted, Script script,
                 Untrusted untrustedOn);
  TLSFaultServer(const TLSFaultServer&) = delete;
  TLSFaultServer& operator=(const TLSFaultServer&) = delete;
  ~TLSFaultServer();

  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  [[nodiscard]] std::size_t connectionCount() const noexcept { return connections_.load(); }
  [[nodiscard]] std::size_t handshakeCount() const noexcept { return handshakes_.load(); }
  [[nodiscard]] std::size_t requestCount() const noexcept { return requests_.load(); }
  // HTTP/1.1 request heads as received (HTTP/2 header blocks are compressed and not kept).
  [[nodiscard]] std::vector<std::string> heads() const;

 private:
  void serve();
  void serveConnection(int socket, std::size_t connection);
  void serveHTTP1(void* ssl, int socket, std::size_t connection);
  void serveHTTP2(void* ssl, int socket, std::size_t connection);
  bool wait(int socket, short events);
  // Repeats one SSL_read or SSL_write call while OpenSSL waits on the socket; the bytes it moved,
  // or 0 once the connection failed.
  int moved(void* ssl, int socket, const std::function<int()>& call);
  bool read(void* ssl, int socket, char* data, std::size_t size);
  bool write(void* ssl, int socket, std::string_view bytes);

  Protocol protocol_;
  Script script_;
  Untrusted untrustedOn_;
  void* trustedContext_ = nullptr;    // SSL_CTX*
  void* untrustedContext_ = nullptr;  // SSL_CTX*
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> handshakes_{0};
  std::atomic<std::size_t> requests_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::thread thread_;
};

}  // namespace tamsenor::testsupport
