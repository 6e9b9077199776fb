#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tamsenor/platform/PublicKeyPin.hpp"

namespace tamsenor {

// How a URLSession sends, fixed when the session is created. The defaults suit a phone: few
// connections per host, HTTP/2 where the server offers it, https only, the system's CAs.
// No setting turns TLS peer or host-name verification off; TLS 1.2 is the oldest version spoken.
struct URLSessionConfiguration {
  // Sends requests for `host` (and `port`, 0 for any port) to `connectHost`:`connectPort`
  // instead (0 keeps the request's port). TLS still verifies the certificate against `host`.
  struct HostOverride {
    std::string host{};
    std::uint16_t port = 0;
    std::string connectHost{};
    std::uint16_t connectPort = 0;
  };

  // Open connections per host at most; further requests wait for one. 0 means no cap.
  std::size_t maxConnectionsPerHost = 6;
  // HTTP/2 over TLS where the server agrees (ALPN), requests multiplexed on one connection.
  bool http2 = true;
  // A PEM file of CA certificates trusted in addition to the system's. A file that yields no
  // certificate makes every https request of the session fail (URLError::sslCACertificateBadFile,
  // isInvalidConfiguration()) without sending anything.
  std::optional<std::string> additionalCABundlePath{};
  std::vector<HostOverride> hostOverrides{};
  // Keys a host's server certificate must have, by host name (compared without case; no
  // wildcards), several for a rotation. Checked after, never instead of, verification: a chain
  // whose server certificate has none of them fails (URLError::sslPinnedPublicKeyMismatch,
  // isSecureConnectionFailed()) before the request is sent, and so does a pinned host over plain
  // http. A host with an empty list fails every request. Pins are for the request's host, wherever
  // hostOverrides send it.
  std::map<std::string, std::vector<PublicKeyPin>> publicKeyPins{};
  // A proxy URL: "http://", "socks5://" or "socks5h://", an optional "user:password@" (percent-
  // encoded), a host and a port (1080 when none is given), e.g. "http://proxy:3128". Any other
  // setting makes every request of the session fail (URLError::unsupportedProtocol for another
  // scheme, else URLError::malformedURL; isInvalidConfiguration()) with a text that quotes none of
  // it. Without one no proxy is used, whatever the environment says.
  std::optional<std::string> proxy{};
  // URL schemes that may be sent, compared without case; only "http" and "https" can be allowed.
  std::vector<std::string> allowedSchemes{"https"};
  // The most body bytes kept for one answer: past it the exchange fails
  // (URLError::fileSizeExceeded, the description names the limit) and the buffer never grows beyond
  // it. 0 means no limit.
  std::size_t maxResponseBodyBytes = 64 * 1024 * 1024;
  // Offers the content codings libcurl decodes (Accept-Encoding: deflate, gzip, br, zstd on
  // Debian 12) and hands over the decoded body; the answer's Content-Encoding and Content-Length
  // fields stay as the server sent them, and maxResponseBodyBytes counts decoded bytes. A coding
  // that was not offered, or a corrupt stream, fails with URLError::badContentEncoding
  // (isBadServerResponse()). A request that carries its own Accept-Encoding is sent with it and
  // gets its answer undecoded: who names the codings decodes them. Off: the wire carries exactly
  // the record's fields.
  bool decompressesResponses = true;
  // Seconds a task may take from resume() to its handler, whatever moves meanwhile; past it the
  // task fails with a time-out whose description names this limit. Not positive: the default,
  // seven days. (A request's timeoutInterval bounds its idleness.)
  static constexpr double kDefaultTimeoutIntervalForResource = 7 * 24 * 60 * 60;
  double timeoutIntervalForResource = kDefaultTimeoutIntervalForResource;
  // Receives what a task handler throws, on the thread that ran the handler (the loop thread; the
  // resuming thread for a task refused after invalidation); without it the exception is dropped.
  // Either way the loop and the other transfers go on.
  std::function<void(std::exception_ptr)> onHandlerException{};
};

}  // namespace tamsenor
