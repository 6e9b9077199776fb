#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/FaultServer.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::testsupport {

// One fault class of the transport's matrix, ready to be met on chosen attempts: the loopback
// server that makes it, a session and client that reach it, and counts of the attempts made and
// of those the server saw. Every other attempt is answered 503 or 200 as the plan says, by the
// same server, so a retry chain above can be driven attempt by attempt.
class FaultBench {
 public:
  enum class Fault {
    connectionRefused,     // the attempt goes to a port where nothing listens
    closedBeforeAnswer,    // the request is read, the connection closed
    truncatedBody,         // 10 of 100 announced body bytes, then an orderly close
    connectionReset,       // 1,000 of 100,000 announced body bytes, then a TCP reset
    stall,                 // the request is read, nothing said; the interval is 1 s
    notHTTP,               // an SSH greeting
    untrustedCertificate,  // HTTP/1.1 over TLS, from a CA the session does not trust
    http2StreamReset,      // HTTP/2 RST_STREAM (INTERNAL_ERROR) on the attempt's stream
    http2GoAway,           // HTTP/2 GOAWAY (INTERNAL_ERROR, the stream counted as seen), close
  };
  static constexpr auto kAllFaults = [] {
    std::array<Fault, 9> all{};
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<Fault>(i);
    return all;
  }();

  enum class Step { unavailable, fault, ok };
  using Plan = std::function<Step(std::size_t attempt)>;  // attempts count from 1

  [[nodiscard]] static std::string_view name(Fault fault);  // "ConnectionRefused", ...
  [[nodiscard]] static std::int64_t curlCode(Fault fault);  // the code the failed attempt reports

  FaultBench(Fault fault, Plan plan);
  FaultBench(const FaultBench&) = delete;
  FaultBench& operator=(const FaultBench&) = delete;
  ~FaultBench();

  // A fresh session for this fault. Tests hold it apart from the stack and let it go last, on their
  // own thread: a stack dropped while its last completion still runs ends on the loop thread.
  [[nodiscard]] std::shared_ptr<URLSession> session() const;
  // A URLSessionHTTPClient on `session`, under a client that numbers the attempts and sends them
  // to the bench.
  [[nodiscard]] std::shared_ptr<HTTPClient> client(const std::string& userAgent,
                                                   std::shared_ptr<URLSession> session) const;
  [[nodiscard]] URLRequest request() const;  // a GET on the API host
  [[nodiscard]] std::size_t clientAttempts() const { return attempts_->load(); }
  // Attempts that reached a listening server: connections, or HTTP/2 streams.
  [[nodiscard]] std::size_t serverAttempts() const;
  // Request heads as an HTTP/1.1 server received them; none for HTTP/2.
  [[nodiscard]] std::vector<std::string> heads() const;

 private:
  void serveHTTP1(FaultServer& server, int connection);
  void serveHTTP2(FaultServer& server, int connection);

  Fault fault_;
  Plan plan_;
  std::shared_ptr<std::atomic<std::size_t>> attempts_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  std::atomic<std::size_t> streams_{0};
  // Before the server: its thread uses them until the server is destroyed.
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::unique_ptr<tools::LocalCertificateAuthority> issuer_;
  std::shared_ptr<SSL_CTX> trusted_;
  std::shared_ptr<SSL_CTX> untrusted_;
  std::unique_ptr<RefusingPort> refusing_;
  std::unique_ptr<FaultServer> server_;
};

}  // namespace tamsenor::testsupport
