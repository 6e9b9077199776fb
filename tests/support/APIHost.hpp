#pragma once

#include <cstdint>
#include <string>

#include "tamsenor/endpoints/APIBaseURL.hpp"

namespace tamsenor::testsupport {

// The API base URL's host and port (443 unless the build names one): what a test routes to its
// loopback server through the session's host override.
struct HostAndPort {
  std::string host;
  std::uint16_t port = 443;
};

inline HostAndPort apiHost() {
  const std::string authority(apiBaseURL().authority());
  const auto colon = authority.rfind(':');
  if (colon == std::string::npos) return {authority, 443};
  return {authority.substr(0, colon),
          static_cast<std::uint16_t>(std::stoi(authority.substr(colon + 1)))};
}

}  // namespace tamsenor::testsupport
