#pragma once

#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tamsenor::testsupport {

// A raw TCP server on 127.0.0.1 and an ephemeral port, for answers no HTTP server library makes.
// Each accepted connection is handed to the behaviour, one at a time on the server's thread, and
// closed when the behaviour returns. Given TLS contexts, a connection is handed over after its
// handshake and the tools below speak TLS on it. The destructor stops waiting behaviours and joins.
class FaultServer {
 public:
  using Behaviour = std::function<void(FaultServer& server, int connection)>;
  // The context for the 1-based connection number; null for plain TCP.
  using TLSContext = std::function<SSL_CTX*(std::size_t connection)>;

  explicit FaultServer(Behaviour behaviour, TLSContext tls = {});
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;
  ~FaultServer();

  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  [[nodiscard]] std::size_t acceptCount() const noexcept { return accepted_.load(); }

  // Tools for behaviours. Each gives up when the server stops or after ten seconds of silence.
  // The request line and header fields up to and including the blank line; nothing on failure.
  std::optional<std::string> readRequestHead(int connection);
  // The whole request: its head and then as many body bytes as its Content-Length announces.
  std::optional<std::string> readRequest(int connection);
  // The bytes that arrive next; none once the peer has closed.
  std::string receive(int connection);
  bool send(int connection, std::string_view bytes);
  // Ends this side (TLS close_notify, then FIN) and waits until the peer closes too, so that what
  // it still sends meanwhile is not answered with a reset.
  void finish(int connection);
  // Accepts up to `count` further connections (plain TCP) that arrive within `within`, for a
  // behaviour that must hold several at once; the behaviour closes them.
  std::vector<int> acceptMore(std::size_t count, std::chrono::milliseconds within);
  // Waits `duration`; false when the server stopped meanwhile.
  bool pause(std::chrono::milliseconds duration);
  void waitUntilStopped();
  // Makes the coming close send a TCP reset instead of an orderly end.
  static void resetOnClose(int connection);

 private:
  void serve();
  int wait(int socket, int milliseconds);
  std::optional<std::string> readUntil(int connection,
                                       const std::function<bool(const std::string&)>& complete);

  Behaviour behaviour_;
  TLSContext tls_;
  SSL* ssl_ = nullptr;  // the connection being served, under TLS
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> accepted_{0};
  std::thread thread_;
};

// A loopback port that refuses connections: bound, never listening, held until destruction so no
// one else can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort();
  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }

 private:
  int socket_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace tamsenor::testsupport
