#include "tamsenor/platform/URLError.hpp"

#include <curl/curl.h>

namespace tamsenor {

// Positive codes are CURLcode values under names of the library's own, so that no public header
// needs libcurl's; these pin each name to its value. Codes for features the session never uses
// (FTP, TFTP, SSH...) have no name and belong to no predicate.
#define TAMSENOR_SAME_CODE(name, curlName) \
  static_assert(URLError::name == curlName, #name " is libcurl's " #curlName)
TAMSENOR_SAME_CODE(operationTimedOut, CURLE_OPERATION_TIMEDOUT);
TAMSENOR_SAME_CODE(couldNotResolveProxy, CURLE_COULDNT_RESOLVE_PROXY);
TAMSENOR_SAME_CODE(couldNotResolveHost, CURLE_COULDNT_RESOLVE_HOST);
TAMSENOR_SAME_CODE(couldNotConnect, CURLE_COULDNT_CONNECT);
TAMSENOR_SAME_CODE(proxyHandshakeFailed, CURLE_PROXY);
TAMSENOR_SAME_CODE(sslConnectError, CURLE_SSL_CONNECT_ERROR);
TAMSENOR_SAME_CODE(sslCertificateProblem, CURLE_SSL_CERTPROBLEM);
TAMSENOR_SAME_CODE(sslCipher, CURLE_SSL_CIPHER);
TAMSENOR_SAME_CODE(peerFailedVerification, CURLE_PEER_FAILED_VERIFICATION);
TAMSENOR_SAME_CODE(sslCACertificateBadFile, CURLE_SSL_CACERT_BADFILE);
TAMSENOR_SAME_CODE(sslCRLBadFile, CURLE_SSL_CRL_BADFILE);
TAMSENOR_SAME_CODE(sslIssuerError, CURLE_SSL_ISSUER_ERROR);
TAMSENOR_SAME_CODE(sslPinnedPublicKeyMismatch, CURLE_SSL_PINNEDPUBKEYNOTMATCH);
TAMSENOR_SAME_CODE(sslInvalidCertificateStatus, CURLE_SSL_INVALIDCERTSTATUS);
TAMSENOR_SAME_CODE(sslClientCertificate, CURLE_SSL_CLIENTCERT);
TAMSENOR_SAME_CODE(partialFile, CURLE_PARTIAL_FILE);
TAMSENOR_SAME_CODE(gotNothing, CURLE_GOT_NOTHING);
TAMSENOR_SAME_CODE(sendError, CURLE_SEND_ERROR);
TAMSENOR_SAME_CODE(receiveError, CURLE_RECV_ERROR);
TAMSENOR_SAME_CODE(http2StreamError, CURLE_HTTP2_STREAM);
TAMSENOR_SAME_CODE(unsupportedProtocol, CURLE_UNSUPPORTED_PROTOCOL);
TAMSENOR_SAME_CODE(weirdServerReply, CURLE_WEIRD_SERVER_REPLY);
TAMSENOR_SAME_CODE(http2Error, CURLE_HTTP2);
TAMSENOR_SAME_CODE(badContentEncoding, CURLE_BAD_CONTENT_ENCODING);
TAMSENOR_SAME_CODE(http3Error, CURLE_HTTP3);
TAMSENOR_SAME_CODE(fileSizeExceeded, CURLE_FILESIZE_EXCEEDED);
TAMSENOR_SAME_CODE(failedInit, CURLE_FAILED_INIT);
TAMSENOR_SAME_CODE(malformedURL, CURLE_URL_MALFORMAT);
TAMSENOR_SAME_CODE(outOfMemory, CURLE_OUT_OF_MEMORY);
#undef TAMSENOR_SAME_CODE

// The codes of a configuration error are libcurl's too, so each predicate below on them first
// rules out the configuration: otherwise an ftp:// proxy would read as a bad server answer.

bool URLError::isInvalidConfiguration() const noexcept {
  return invalidConfiguration_ || code_ == unsupportedScheme;
}

bool URLError::isCancelled() const noexcept { return code_ == cancelled; }

bool URLError::isTimedOut() const noexcept {
  return !invalidConfiguration_ && code_ == operationTimedOut;
}

bool URLError::isCannotConnect() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case couldNotResolveProxy:
    case couldNotResolveHost:
    case couldNotConnect:
    case proxyHandshakeFailed:
      return true;
    default:
      return false;
  }
}

bool URLError::isSecureConnectionFailed() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case sslConnectError:
    case sslCertificateProblem:
    case sslCipher:
    case peerFailedVerification:
    case sslCACertificateBadFile:  // the system's CA file; the session's own is configuration
    case sslCRLBadFile:
    case sslIssuerError:
    case sslPinnedPublicKeyMismatch:
    case sslInvalidCertificateStatus:
    case sslClientCertificate:
      return true;
    default:
      return false;
  }
}

bool URLError::isConnectionLost() const noexcept {
  if (invalidConfiguration_) return false;
  switch (code_) {
    case partialFile:  // also an HTTP/2 GOAWAY that drops a stream the server had seen
    case gotNothing:
    case sendError:
    case receiveError:
    case http2StreamError:  // the server reset this stream; the connection may live on
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
    case unsupportedProtocol:
    case weirdServerReply:
    case http2Error:
    case badContentEncoding:
    case http3Error:
      return true;
    default:
      return false;
  }
}

}  // namespace tamsenor
