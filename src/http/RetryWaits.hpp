#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/http/RetryBackoff.hpp"

namespace tamsenor::detail {

// What the composers of one retry chain share to wait between attempts: the policy, the random
// sequence of its jitter, and the timer that runs `then` after a delay (a session's callAfter).
// Any thread may ask: a draw is one atomic step of the sequence.
class RetryWaits {
 public:
  using Timer =
      std::function<void(std::chrono::milliseconds delay, std::function<void(bool due)> then)>;

  RetryWaits(RetryBackoff backoff, Timer timer)
      : backoff_(backoff), timer_(std::move(timer)), state_(backoff.seed()) {}

  // The wait before retry number `retry` (0 for the first), after the outcome that called for it.
  [[nodiscard]] std::chrono::milliseconds delayBefore(std::uint64_t retry,
                                                      const HTTPClientResult& previous);
  void wait(std::chrono::milliseconds delay, std::function<void(bool due)> then) const {
    timer_(delay, std::move(then));
  }

 private:
  [[nodiscard]] std::uint64_t draw() noexcept;

  const RetryBackoff backoff_;
  const Timer timer_;
  std::atomic<std::uint64_t> state_;
};

}  // namespace tamsenor::detail
