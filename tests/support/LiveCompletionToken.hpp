#pragma once

#include <atomic>

namespace tamsenor::testsupport {

// Counts its live copies: back at the start, every completion that captured one is destroyed.
class LiveCompletionToken {
 public:
  LiveCompletionToken() noexcept { ++live; }
  LiveCompletionToken(const LiveCompletionToken&) noexcept { ++live; }
  LiveCompletionToken& operator=(const LiveCompletionToken&) noexcept = default;
  ~LiveCompletionToken() { --live; }

  [[nodiscard]] static long count() noexcept { return live.load(); }

 private:
  static inline std::atomic<long> live{0};
};

}  // namespace tamsenor::testsupport
