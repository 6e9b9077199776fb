#pragma once

#include <cstdint>
#include <stdexcept>

namespace tamsenor {

// A closed range of HTTP status codes, both bounds included. A reversed range (lower above upper)
// is a configuration mistake, not a run-time condition: the constructor throws
// std::invalid_argument, and in a constant expression it does not compile.
//   client->withRetries(2, StatusCodeRange(500, 599));
class StatusCodeRange {
 public:
  constexpr StatusCodeRange(std::int64_t lower, std::int64_t upper) : lower_(lower), upper_(upper) {
    if (lower > upper)
      throw std::invalid_argument("StatusCodeRange: lower bound above upper bound");
  }

  [[nodiscard]] constexpr std::int64_t lower() const noexcept { return lower_; }
  [[nodiscard]] constexpr std::int64_t upper() const noexcept { return upper_; }
  [[nodiscard]] constexpr bool contains(std::int64_t statusCode) const noexcept {
    return lower_ <= statusCode && statusCode <= upper_;
  }

  friend constexpr bool operator==(const StatusCodeRange&, const StatusCodeRange&) = default;

 private:
  std::int64_t lower_;
  std::int64_t upper_;
};

// Both bounds are inside, and a range may be a single code.
static_assert(StatusCodeRange(500, 599).contains(500) && StatusCodeRange(500, 599).contains(599) &&
              !StatusCodeRange(500, 599).contains(499) && !StatusCodeRange(500, 599).contains(600));
static_assert(StatusCodeRange(503, 503).contains(503) && StatusCodeRange(500, 599).lower() == 500 &&
              StatusCodeRange(500, 599).upper() == 599);

}  // namespace tamsenor
