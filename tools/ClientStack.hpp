#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"
#include "tools/ClientOptions.hpp"

namespace tamsenor::tools {

// The client stack an application builds: URLSessionHTTPClient, then withAuthentication (the
// options' headers, or a failure with --fail-signing), then withRetries. Requests for the API host
// go to `connectHost`:`connectPort`, trusting `caFile` besides the system's CAs. With `verbose`,
// each attempt and its answer are written to standard error below the signing layer.
struct ClientStack {
  std::shared_ptr<URLSession> session;
  std::shared_ptr<HTTPClient> client;

  [[nodiscard]] static ClientStack create(const ClientOptions& options, std::string connectHost,
                                          std::uint16_t connectPort,
                                          std::optional<std::string> caFile);
};

}  // namespace tamsenor::tools
