#include "http/RetryWaits.hpp"

#include <algorithm>
#include <optional>

#include "http/RetryAfter.hpp"

namespace tamsenor::detail {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The wait a 429 or 503 answer asks for in its Retry-After field, if it is one of those.
std::optional<seconds> askedFor(const HTTPClientResult& outcome) {
  if (!outcome) return std::nullopt;
  const auto& response = outcome.value().response();
  if (response.statusCode() != 429 && response.statusCode() != 503) return std::nullopt;
  const auto& fields = response.allHeaderFields();
  const auto value = fields.value("Retry-After");
  if (!value) return std::nullopt;
  // A date is counted from the answer's own Date where it has a sound one: a phone's clock may
  // be far off the server's.
  auto now = std::chrono::floor<seconds>(std::chrono::system_clock::now());
  if (const auto date = fields.value("Date")) now = parseIMFFixdate(*date).value_or(now);
  return parseRetryAfter(*value, now);
}

}  // namespace

milliseconds RetryWaits::delayBefore(std::uint64_t retry, const HTTPClientResult& previous) {
  if (const auto asked = askedFor(previous)) {
    return std::min<milliseconds>(*asked, backoff_.maximum());
  }
  auto ceiling = backoff_.first();
  for (std::uint64_t i = 0; i < retry && ceiling < backoff_.maximum(); ++i) ceiling *= 2;
  ceiling = std::min(ceiling, backoff_.maximum());
  // Full jitter: anywhere from nothing to the ceiling, so that clients spread out.
  return milliseconds(
      static_cast<milliseconds::rep>(draw() % (static_cast<std::uint64_t>(ceiling.count()) + 1)));
}

std::uint64_t RetryWaits::draw() noexcept {
  // SplitMix64: its state only ever advances by a constant, which one atomic add does.
  constexpr std::uint64_t kGamma = 0x9e3779b97f4a7c15;
  std::uint64_t z = state_.fetch_add(kGamma, std::memory_order_relaxed) + kGamma;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

}  // namespace tamsenor::detail
