#pragma once

#include <atomic>

namespace tamsenor::testsupport {

// Captured by a test's completions: every copy alive is counted, so a count back at its starting
// value means every completion handed to the library has been destroyed, run or not.
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
