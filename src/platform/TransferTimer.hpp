#pragma once

#include <curl/curl.h>

#include <chrono>

#include "platform/CurlHandles.hpp"
#include "platform/EasyHandlePool.hpp"
#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::detail {

// A task's two limits, both counted from resume(): idleness, that is its request's timeout
// interval without a byte moving either way (so resolving, connecting and waiting for a free
// connection count), and the session's limit on its whole life. Made on the resuming thread,
// used on the loop thread only from then on; the loop's deadline queue asks it when to look.
class TransferTimer {
 public:
  using Clock = std::chrono::steady_clock;

  // Intervals in seconds; one that is not positive and finite means the default.
  TransferTimer(double timeoutInterval, double resourceInterval);

  // What every easy handle keeps: the progress hook, which sees request bytes go out.
  static void installOn(EasyOptions& set);
  void start(EasyHandlePool::Handle& handle);

  // Answer bytes arrived (the reader tells), or request bytes left. Noted on every piece of an
  // answer, so read from the kernel's coarse clock (CLOCK_MONOTONIC_COARSE, a few milliseconds
  // behind the steady clock it shares its origin with), which costs a fraction of a precise read;
  // a deadline may come that much early, which no time-out in seconds notices.
  void noteActivity() noexcept;
  [[nodiscard]] Clock::time_point deadline() const noexcept;
  // The error of a task whose deadline has passed: which limit it broke.
  [[nodiscard]] URLError expiry() const;

 private:
  static int onProgress(void* handle, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded) noexcept;

  Clock::time_point lastMoved_;
  Clock::time_point lifeEnds_;
  std::chrono::milliseconds idleLimit_;
  std::chrono::milliseconds lifeLimit_;
  curl_off_t movedBytes_ = 0;
};

}  // namespace tamsenor::detail
