#include "support/FaultBench.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "support/APIHost.hpp"
#include "support/AttemptCountingHTTPClient.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor::testsupport {

namespace {

using testsupport::apiHost;

using namespace std::chrono_literals;

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return text;
}

// The number after "name:" in a request head, or nothing.
std::optional<std::size_t> headerNumber(const std::string& head, const std::string& name) {
  const auto lower = lowered(head);
  const auto at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return std::nullopt;
  try {
    return std::stoul(lower.substr(at + name.size() + 3));
  } catch (...) {
    return std::nullopt;
  }
}

// The rest of a request body announced by Content-Length, so that closing the connection later
// sends an orderly end rather than a reset for unread bytes.
bool readBodyRest(int connection, const std::string& received) {
  const auto headEnd = received.find("\r\n\r\n") + 4;
  const std::size_t length = headerNumber(received, "content-length").value_or(0);
  std::size_t have = received.size() - headEnd;
  while (have < length) {
    pollfd fd{connection, POLLIN, 0};
    if (::poll(&fd, 1, 10'000) <= 0) return false;
    char buffer[4096];
    const auto count = ::recv(connection, buffer, sizeof buffer, 0);
    if (count <= 0) return false;
    have += static_cast<std::size_t>(count);
  }
  return true;
}

// Waits until the client gives up and closes, at most ten seconds.
void waitForClientToLeave(int connection) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{connection, POLLIN, 0};
    if (::poll(&fd, 1, 100) < 0) return;
    if (fd.revents == 0) continue;
    char buffer[256];
    if (::recv(connection, buffer, sizeof buffer, 0) <= 0) return;
  }
}

constexpr std::string_view kUnavailableAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kOKAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

}  // namespace

std::string_view FaultBench::name(Fault fault) {
  switch (fault) {
    case Fault::connectionRefused:
      return "ConnectionRefused";
    case Fault::closedBeforeAnswer:
      return "ClosedBeforeAnswer";
    case Fault::truncatedBody:
      return "TruncatedBody";
    case Fault::connectionReset:
      return "ConnectionReset";
    case Fault::stall:
      return "Stall";
    case Fault::notHTTP:
      return "NotHTTP";
    case Fault::untrustedCertificate:
      return "UntrustedCertificate";
    case Fault::http2StreamReset:
      return "HTTP2StreamReset";
    case Fault::http2GoAway:
      return "HTTP2GoAway";
  }
  return "?";
}

std::int64_t FaultBench::curlCode(Fault fault) {
  switch (fault) {
    case Fault::connectionRefused:
      return 7;  // CURLE_COULDNT_CONNECT
    case Fault::closedBeforeAnswer:
      return 52;  // CURLE_GOT_NOTHING
    case Fault::truncatedBody:
      return 18;  // CURLE_PARTIAL_FILE
    case Fault::connectionReset:
      return 56;  // CURLE_RECV_ERROR
    case Fault::stall:
      return 28;  // CURLE_OPERATION_TIMEDOUT
    case Fault::notHTTP:
      return 1;  // CURLE_UNSUPPORTED_PROTOCOL
    case Fault::untrustedCertificate:
      return 60;  // CURLE_PEER_FAILED_VERIFICATION
    case Fault::http2StreamReset:
      return 92;  // CURLE_HTTP2_STREAM
    case Fault::http2GoAway:
      // libcurl reports the stream the server counted but never answered as cut short.
      return 18;  // CURLE_PARTIAL_FILE
  }
  return -1;
}

FaultBench::FaultBench(Fault fault, Plan plan) : fault_(fault), plan_(std::move(plan)) {
  switch (fault_) {
    case Fault::untrustedCertificate:
    case Fault::http2StreamReset:
    case Fault::http2GoAway: {
      issuer_ = std::make_unique<tools::LocalCertificateAuthority>();
      stranger_ = std::make_unique<tools::LocalCertificateAuthority>();
      const auto trusted = issuer_->issue(apiHost().host);
      const auto untrusted = stranger_->issue(apiHost().host);
      const bool http2 = fault_ != Fault::untrustedCertificate;
      const auto faultAction = fault_ == Fault::http2GoAway ? TLSFaultServer::Action::goAway
                                                            : TLSFaultServer::Action::resetStream;
      tls_ = std::make_unique<TLSFaultServer>(
          http2 ? TLSFaultServer::Protocol::http2 : TLSFaultServer::Protocol::http1, trusted,
          untrusted,
          [this, http2, faultAction](std::size_t connection, std::size_t request) {
            // Over HTTP/1.1 every attempt has a connection of its own; HTTP/2 multiplexes them.
            switch (plan_(http2 ? request : connection)) {
              case Step::unavailable:
                return TLSFaultServer::Action::unavailable;
              case Step::ok:
                return TLSFaultServer::Action::ok;
              case Step::fault:
                return faultAction;
            }
            return TLSFaultServer::Action::closeWithoutAnswer;
          },
          [this, http2](std::size_t connection) {
            return !http2 && plan_(connection) == Step::fault;
          });
      break;
    }
    case Fault::connectionRefused:
      refusing_ = std::make_unique<RefusingPort>();
      [[fallthrough]];
    default:
      plain_ = std::make_unique<FaultServer>(
          [this](FaultServer& server, int connection) { serveHTTP1(server, connection); });
      break;
  }
}

FaultBench::~FaultBench() = default;

void FaultBench::serveHTTP1(FaultServer& server, int connection) {
  const auto received = server.readRequestHead(connection);
  if (!received || !readBodyRest(connection, *received)) return;
  {
    std::lock_guard lock(mutex_);
    heads_.push_back(received->substr(0, received->find("\r\n\r\n") + 4));
  }
  const std::size_t attempt = headerNumber(*received, "x-attempt").value_or(0);
  switch (plan_(attempt)) {
    case Step::unavailable:
      server.send(connection, kUnavailableAnswer);
      return;
    case Step::ok:
      server.send(connection, kOKAnswer);
      return;
    case Step::fault:
      break;
  }
  switch (fault_) {
    case Fault::closedBeforeAnswer:
      return;
    case Fault::truncatedBody:
      server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
      return;
    case Fault::connectionReset:
      server.send(connection,
                  "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
      FaultServer::resetOnClose(connection);
      return;
    case Fault::stall:
      waitForClientToLeave(connection);
      return;
    case Fault::notHTTP:
      server.send(connection, "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n");
      return;
    default:
      return;  // a refused attempt never gets here
  }
}

URLSessionConfiguration FaultBench::configuration() const {
  URLSessionConfiguration configuration;
  if (tls_) {
    configuration.additionalCABundlePath = issuer_->caFile();
    const auto api = apiHost();
    configuration.hostOverrides = {{api.host, api.port, "127.0.0.1", tls_->port()}};
  } else {
    configuration.allowedSchemes = {"http"};
  }
  return configuration;
}

URLRequest FaultBench::request() const {
  return URLRequest(
      tls_ ? apiBaseURL().appendingPathComponent("torture")
           : *URL::parse("http://127.0.0.1:" + std::to_string(plain_->port()) + "/torture"));
}

std::shared_ptr<URLSession> FaultBench::session() const {
  return URLSession::create(configuration());
}

std::shared_ptr<HTTPClient> FaultBench::client(const std::string& userAgent,
                                               std::shared_ptr<URLSession> session) const {
  auto bottom = URLSessionHTTPClient::create(std::move(session), userAgent);
  // Requests built for the API host (the services') are sent to the bench as well: through the
  // session's host override for TLS, by rewriting the URL for plain HTTP. A refused attempt
  // reaches no server, so it goes to a port where nothing listens. Only a stall waits out the
  // interval, the shortest the transport's idle check honours.
  const bool stall = fault_ == Fault::stall;
  std::optional<URL> plainURL;
  std::optional<URL> refusedURL;
  if (plain_) {
    plainURL = URL::parse("http://127.0.0.1:" + std::to_string(plain_->port()) + "/torture");
  }
  if (refusing_) {
    refusedURL = URL::parse("http://127.0.0.1:" + std::to_string(refusing_->port()) + "/torture");
  }
  auto adjust = [plan = plan_, stall, plainURL, refusedURL](std::size_t attempt,
                                                            URLRequest& request) {
    if (refusedURL && plan(attempt) == Step::fault) {
      request.setURL(*refusedURL);
    } else if (plainURL) {
      request.setURL(*plainURL);
    }
    if (stall) request.setTimeoutInterval(1.0);
  };
  return AttemptCountingHTTPClient::create(std::move(bottom), attempts_, std::move(adjust));
}

std::size_t FaultBench::serverAttempts() const {
  if (plain_) return plain_->acceptCount();
  return fault_ == Fault::untrustedCertificate ? tls_->connectionCount() : tls_->requestCount();
}

std::vector<std::string> FaultBench::heads() const {
  if (tls_) return tls_->heads();
  std::lock_guard lock(mutex_);
  return heads_;
}

}  // namespace tamsenor::testsupport
