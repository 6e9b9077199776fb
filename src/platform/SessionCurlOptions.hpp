#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/AdditionalCAStore.hpp"
#include "platform/ConnectionSockets.hpp"
#include "platform/CurlHandles.hpp"
#include "platform/ProxySetting.hpp"
#include "tamsenor/platform/URL.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"

namespace tamsenor::detail {

// A session's configuration turned into libcurl's terms once, when the session is made: what
// every easy handle is set to, and what fails every request before it is sent. Made after
// curl_global_init(); it must outlive every handle it was applied to, and is never moved, since
// handles point into it.
class SessionCurlOptions {
 public:
  explicit SessionCurlOptions(const URLSessionConfiguration& configuration);
  SessionCurlOptions(const SessionCurlOptions&) = delete;
  SessionCurlOptions& operator=(const SessionCurlOptions&) = delete;

  // Why a request to `url` must fail unsent: a bad proxy setting fails all, an unreadable CA file
  // every https one, a pinned host every plain http one.
  [[nodiscard]] std::optional<URLError> refusal(const URL& url) const;
  // The keys a request to `url` must meet, as CURLOPT_PINNEDPUBLICKEY takes them; null: none.
  [[nodiscard]] const char* pinnedKeys(const URL& url) const noexcept;
  // Whether libcurl is to offer and undo content codings for `request`.
  [[nodiscard]] bool decodes(const URLRequest& request) const;
  // Whether a request to `url` should wait for a connection it can multiplex on.
  [[nodiscard]] bool waitsToMultiplex(const URL& url) const noexcept;
  // The options every request of the session shares; set once per easy handle, which may then
  // call back into this object.
  void applyTo(EasyOptions& set);
  // The options of the session's multi handle.
  void applyTo(CURLM* multi) const;
  [[nodiscard]] ConnectionSockets& sockets() noexcept { return sockets_; }

 private:
  std::size_t maxConnectionsPerHost_;
  bool http2_;
  bool decompresses_;
  std::string protocols_;  // CURLOPT_PROTOCOLS_STR
  // Host names in lower case, and "sha256//<hash>;sha256//<hash>..." for each.
  std::vector<std::pair<std::string, std::string>> pins_;
  HeaderList connectTo_;
  AdditionalCAStore additionalCAs_;
  std::optional<ProxySetting> proxy_;
  std::optional<URLError> proxyError_;
  ShareHandle share_;
  ConnectionSockets sockets_;
};

}  // namespace tamsenor::detail
