#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tamsenor/platform/PublicKeyPin.hpp"

namespace tamsenor::tools {

// The global options of the tamsenor program that shape its client stack, as parsed.
struct ClientOptions {
  std::optional<std::pair<std::string, std::uint16_t>> connectTo;  // host (no brackets), port
  std::optional<std::string> caFile;
  std::string userAgent;
  std::uint64_t retries = 0;
  std::int64_t retryLowest = 500;
  std::int64_t retryHighest = 599;
  std::vector<std::pair<std::string, std::string>> headers;  // name, value
  double maxTime = 0;  // seconds a request may take in all; 0: the session's default
  std::map<std::string, std::vector<PublicKeyPin>> pins;  // by host
  bool compression = true;
  bool failSigning = false;
  bool verbose = false;
};

}  // namespace tamsenor::tools
