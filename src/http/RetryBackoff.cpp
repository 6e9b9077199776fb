#include "tamsenor/http/RetryBackoff.hpp"

#include <random>
#include <stdexcept>

namespace tamsenor {

namespace {

std::uint64_t freshSeed() {
  try {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  } catch (const std::exception&) {
    // No entropy source: the clock still sets clients apart.
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

}  // namespace

RetryBackoff::RetryBackoff(Delay first, Delay maximum, std::optional<std::uint64_t> seed)
    : first_(first), maximum_(maximum), seed_(seed ? *seed : freshSeed()) {
  if (first < Delay(0) || first > maximum || maximum > kLongestDelay) {
    throw std::invalid_argument("RetryBackoff: needs 0 <= first <= maximum <= kLongestDelay");
  }
}

}  // namespace tamsenor
