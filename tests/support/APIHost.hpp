#pragma once

#include <string>

#include "tamsenor/endpoints/APIBaseURL.hpp"

namespace tamsenor::testsupport {

// The API base URL's host and port, which tests route to loopback by a host override.
struct HostAndPort {
  std::string host;
  std::uint16_t port = 443;
};

inline HostAndPort apiHost() {
  return {std::string(apiBaseURL().host()), apiBaseURL().port().value_or(443)};
}

}  // namespace tamsenor::testsupport
