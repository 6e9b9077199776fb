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
#include "support/TLSFaultServer.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::testsupport {

// One fault class of the transport's matrix, ready to be met on chosen attempts: the loopback
// servers that make it, the session configuration and URL that reach them, and counts of the
// attempts made and of those a server saw. Every other attempt is answered 503 or 200 as the plan
// says, by the same server, so a retry chain above can be driven attempt by attempt.
class FaultBench {
 public:
  enum class Fault {
    connectionRefused,
    closedBeforeAnswer,
    truncatedBody,
    connectionReset,
    stall,
    notHTTP,
    untrustedCertificate,
    http2StreamReset,
    http2GoAway,
  };
  static constexpr std::array<Fault, 9> kAllFaults{Fault::connectionRefused,
                                                   Fault::closedBeforeAnswer,
                                                   Fault::truncatedBody,
                                                   Fault::connectionReset,
                                                   Fault::stall,
                                                   Fault::notHTTP,
                                                   Fault::untrustedCertificate,
                                                   Fault::http2StreamReset,
                                                   Fault::http2GoAway};

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
  // A URLSessionHTTPClient on `session`, under a client that numbers the attempts.
  [[nodiscard]] std::shared_ptr<HTTPClient> client(const std::string& userAgent,
                                                   std::shared_ptr<URLSession> session) const;
  [[nodiscard]] URLSessionConfiguration configuration() const;
  [[nodiscard]] URLRequest request() const;  // a GET of the bench's URL
  [[nodiscard]] std::size_t clientAttempts() const { return attempts_->load(); }
  // Attempts that reached a listening server: connections, or HTTP/2 streams.
  [[nodiscard]] std::size_t serverAttempts() const;
  // Request heads as an HTTP/1.1 server received them; none for HTTP/2.
  [[nodiscard]] std::vector<std::string> heads() const;

 private:
  void serveHTTP1(FaultServer& server, int connection);

  Fault fault_;
  Plan plan_;
  std::shared_ptr<std::atomic<std::size_t>> attempts_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  // Before the servers: their threads record heads until the servers are destroyed.
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::unique_ptr<tools::LocalCertificateAuthority> issuer_;
  std::unique_ptr<tools::LocalCertificateAuthority> stranger_;
  std::unique_ptr<RefusingPort> refusing_;
  std::unique_ptr<FaultServer> plain_;
  std::unique_ptr<TLSFaultServer> tls_;
};

}  // namespace tamsenor::testsupport
