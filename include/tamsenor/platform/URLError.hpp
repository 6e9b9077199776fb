#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// The transport's own error for an exchange: a code and a readable description of itself.
// The session-backed client hands it on unchanged inside HTTPClientError::networkError.
// Positive codes are libcurl's CURLcode values; the session's own codes below are negative.
// A code keeps its value across releases, so a stored one stays meaningful.
class TAMSENOR_EXPORT URLError {
 public:
  static constexpr std::int64_t cancelled = -999;  // the session was destroyed first
  static constexpr std::int64_t invalidHeaderField = -1000;
  static constexpr std::int64_t invalidHTTPMethod = -1001;
  static constexpr std::int64_t unsupportedScheme = -1002;    // not in allowedSchemes
  static constexpr std::int64_t userInfoInURL = -1003;        // "user:password@" before the host
  static constexpr std::int64_t requestHeadTooLarge = -1004;  // method, URL, fields above 64 KiB

  URLError(std::int64_t code, std::string description)
      : code_(code), description_(std::move(description)) {}

  // A failure caused by the session's own configuration (a proxy setting that is not one, an
  // additional CA file with no certificate), under the code such a failure has always had: code 1
  // also means an answer that is not HTTP, so the code alone cannot tell.
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
