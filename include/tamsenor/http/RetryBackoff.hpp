#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// How long a retry chain waits before each retry. Before retry k (1 for the first): a random
// delay from 0 to first * 2^(k-1), at most `maximum` (exponential back-off with full jitter).
// After a 429 or 503 answer with a Retry-After field (delta-seconds or an IMF-fixdate), the wait
// it asks for instead, at most `maximum`; other forms are ignored. The random sequence starts
// from `seed` when given, otherwise from std::random_device, so that clients do not wait in step.
// Unless 0 <= first <= maximum <= kLongestDelay, the constructor throws std::invalid_argument.
//   client->withRetries(3, StatusCodeRange(500, 599), RetryBackoff(250ms, 30s), session);
class TAMSENOR_EXPORT RetryBackoff {
 public:
  using Delay = std::chrono::milliseconds;

  RetryBackoff(Delay first, Delay maximum, std::optional<std::uint64_t> seed = std::nullopt);

  [[nodiscard]] Delay first() const noexcept { return first_; }
  [[nodiscard]] Delay maximum() const noexcept { return maximum_; }
  [[nodiscard]] std::uint64_t seed() const noexcept { return seed_; }

  static constexpr std::chrono::hours kLongestDelay{1};

 private:
  Delay first_;
  Delay maximum_;
  std::uint64_t seed_;
};

}  // namespace tamsenor
