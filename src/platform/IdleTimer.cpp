#include "platform/IdleTimer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tamsenor::detail {

namespace {

constexpr double kDefaultTimeoutSeconds = 60;
constexpr double kLongestTimeoutSeconds = 86'400.0 * 365;
// libcurl's own speed check stays on as a backstop; this much later than the timer, it cannot
// fire first.
constexpr long kBackstopMarginSeconds = 6;

}  // namespace

void IdleTimer::installOn(EasyOptions& set) {
  // libcurl's speed check samples once a second and averages over five, so it can fire early on
  // a slow drip or seconds late after a request body. Idleness is timed here instead, on the
  // progress calls that the check makes libcurl give at least once a second.
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_XFERINFOFUNCTION, &IdleTimer::onProgress);
  set(CURLOPT_NOPROGRESS, 0L);
}

void IdleTimer::start(EasyOptions& set, double timeoutInterval) {
  double timeout = timeoutInterval;
  if (!(timeout > 0) || !std::isfinite(timeout)) timeout = kDefaultTimeoutSeconds;
  timeout = std::min(timeout, kLongestTimeoutSeconds);
  const auto timeoutMilliseconds = std::max(1L, std::lround(timeout * 1000));
  const auto idleSeconds = std::max(1L, std::lround(std::ceil(timeout)));

  set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  set(CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds);
  set(CURLOPT_LOW_SPEED_TIME, idleSeconds + kBackstopMarginSeconds);
  lastMoved_ = std::chrono::steady_clock::now();
  limit_ = std::chrono::milliseconds(timeoutMilliseconds);
  movedBytes_ = -1;
  expired_ = false;
}

void IdleTimer::describeExpiry(char (&errorBuffer)[CURL_ERROR_SIZE]) const noexcept {
  std::snprintf(errorBuffer, sizeof errorBuffer, "no data moved for %lld ms",
                static_cast<long long>(limit_.count()));
}

int IdleTimer::onProgress(void* timer, curl_off_t, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded) noexcept {
  auto& self = *static_cast<IdleTimer*>(timer);
  const auto now = std::chrono::steady_clock::now();
  if (downloaded + uploaded != self.movedBytes_) {
    self.movedBytes_ = downloaded + uploaded;
    self.lastMoved_ = now;
    return 0;
  }
  self.expired_ = now - self.lastMoved_ >= self.limit_;
  return self.expired_ ? 1 : 0;
}

}  // namespace tamsenor::detail
