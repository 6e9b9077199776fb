#include "tamsenor/platform/URLError.hpp"

#include <curl/curl.h>

namespace tamsenor {

// Positive codes are CURLcode values; they are matched by name here so that no public header
// needs libcurl's. Codes for features the session never uses (FTP, TFTP, SSH...) belong nowhere.

// The codes of a configuration error are libcurl's too, so each predicate below on them first
// rules out the configuration: otherwise an ftp:// proxy would read as a bad server answer.

bool URLError::isInvalidConfiguration() const noexcept {
  return invalidConfiguration_ || code_ == unsupportedScheme;
}

bool URLError::isCancelled() const noexcept { return code_ == cancelled; }

bool URLError::isTimedOut() const noexcept {
  return !invalidConfiguration_ && code_ == CURLE_OPERATION_TIMEDOUT;
}

bool URLError::isCannotConnect() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return true;
    default:
      return false;
  }
}

bool URLError::isSecureConnectionFailed() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:  // the system's CA file; the session's own is configuration
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return true;
    default:
      return false;
  }
}

bool URLError::isConnectionLost() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case CURLE_PARTIAL_FILE:  // also an HTTP/2 GOAWAY that drops a stream the server had seen
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2_STREAM:  // the server reset this stream; the connection may live on
      return true;
    default:
      return false;
  }
}

bool URLError::isBadServerResponse() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    // The session refuses unknown schemes itself, so libcurl reports this only for an answer that
    // is not HTTP at all (it reads as HTTP/0.9, which is never allowed); a proxy of an unknown
    // scheme carries the same code as a configuration error.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP3:
      return true;
    default:
      return false;
  }
}

}  // namespace tamsenor
