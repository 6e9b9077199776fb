#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// The transport's own error for an exchange: a code and a readable description of itself.
// The session-backed client hands it on unchanged inside HTTPClientError::networkError.
// Positive codes are libcurl's CURLcode values, named below where the session produces them or a
// predicate reads them; the session's own codes are negative. A code keeps its value across
// releases, so a stored one stays meaningful.
class TAMSENOR_EXPORT URLError {
 public:
  // The session's own.
  // invalidateAndCancel() ended the task, or it was resumed once its session was invalidated.
  static constexpr std::int64_t cancelled = -999;
  static constexpr std::int64_t invalidHeaderField = -1000;
  static constexpr std::int64_t invalidHTTPMethod = -1001;
  static constexpr std::int64_t unsupportedScheme = -1002;    // not in allowedSchemes
  static constexpr std::int64_t userInfoInURL = -1003;        // "user:password@" before the host
  static constexpr std::int64_t requestHeadTooLarge = -1004;  // method, URL, fields above 64 KiB

  // libcurl's, by the predicate that holds for them unless they come as a configuration error.
  static constexpr std::int64_t operationTimedOut = 28;  // isTimedOut()
  // isCannotConnect()
  static constexpr std::int64_t couldNotResolveProxy = 5;
  static constexpr std::int64_t couldNotResolveHost = 6;
  static constexpr std::int64_t couldNotConnect = 7;
  static constexpr std::int64_t proxyHandshakeFailed = 97;
  // isSecureConnectionFailed()
  static constexpr std::int64_t sslConnectError = 35;
  static constexpr std::int64_t sslCertificateProblem = 58;
  static constexpr std::int64_t sslCipher = 59;
  static constexpr std::int64_t peerFailedVerification = 60;  // untrusted, expired, another name
  static constexpr std::int64_t sslCACertificateBadFile = 77;
  static constexpr std::int64_t sslCRLBadFile = 82;
  static constexpr std::int64_t sslIssuerError = 83;
  static constexpr std::int64_t sslPinnedPublicKeyMismatch = 90;
  static constexpr std::int64_t sslInvalidCertificateStatus = 91;
  static constexpr std::int64_t sslClientCertificate = 98;
  // isConnectionLost()
  static constexpr std::int64_t partialFile = 18;  // closed early; also an HTTP/2 GOAWAY
  static constexpr std::int64_t gotNothing = 52;   // closed before any answer
  static constexpr std::int64_t sendError = 55;
  static constexpr std::int64_t receiveError = 56;
  static constexpr std::int64_t http2StreamError = 92;  // the server reset this stream
  // isBadServerResponse()
  static constexpr std::int64_t unsupportedProtocol = 1;  // not HTTP at all (HTTP/0.9)
  static constexpr std::int64_t weirdServerReply = 8;
  static constexpr std::int64_t http2Error = 16;
  static constexpr std::int64_t badContentEncoding = 61;
  static constexpr std::int64_t http3Error = 95;
  // None: the answer's body passed maxResponseBodyBytes; the session could not set up a transfer.
  static constexpr std::int64_t fileSizeExceeded = 63;
  static constexpr std::int64_t failedInit = 2;
  static constexpr std::int64_t malformedURL = 3;  // only ever a configuration error
  static constexpr std::int64_t outOfMemory = 27;

  URLError(std::int64_t code, std::string description)
      : code_(code), description_(std::move(description)) {}

  // A failure caused by the session's own configuration (a proxy setting that is not one, an
  // additional CA file with no certificate), under the code such a failure has always had:
  // unsupportedProtocol also means an answer that is not HTTP, so the code alone cannot tell.
  [[nodiscard]] static URLError invalidConfiguration(std::int64_t code, std::string description) {
    URLError error(code, std::move(description));
    error.invalidConfiguration_ = true;
    return error;
  }

  [[nodiscard]] std::int64_t code() const noexcept { return code_; }
  [[nodiscard]] const std::string& description() const noexcept { return description_; }

  // The kinds of failure an application acts on; at most one holds, and many codes are none.
  // A mistake in the application's own session settings: a bad proxy setting, an unreadable
  // additional CA file, a scheme not allowed. No server was asked; every such request fails alike.
  [[nodiscard]] bool isInvalidConfiguration() const noexcept;
  [[nodiscard]] bool isCancelled() const noexcept;
  [[nodiscard]] bool isTimedOut() const noexcept;
  [[nodiscard]] bool isCannotConnect() const noexcept;  // refused, unreachable, no such host
  [[nodiscard]] bool isSecureConnectionFailed() const noexcept;  // TLS handshake or certificate
  [[nodiscard]] bool isConnectionLost() const noexcept;          // closed or reset mid-exchange
  [[nodiscard]] bool isBadServerResponse() const noexcept;       // an answer that is not good HTTP

  friend bool operator==(const URLError&, const URLError&) = default;
  friend std::ostream& operator<<(std::ostream& out, const URLError& error) {
    return out << error.description_;
  }

 private:
  std::int64_t code_;
  std::string description_;
  bool invalidConfiguration_ = false;
};

}  // namespace tamsenor
