#include "platform/TransferTimer.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string>

#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"

namespace tamsenor::detail {

namespace {

// Far beyond any real wait, and far from overflowing the clock's arithmetic.
constexpr double kLongestSeconds = 86'400.0 * 365;

std::chrono::milliseconds limit(double seconds, double fallback) {
  if (!(seconds > 0) || !std::isfinite(seconds)) seconds = fallback;
  seconds = std::min(seconds, kLongestSeconds);
  return std::chrono::milliseconds(std::max(1L, std::lround(seconds * 1000)));
}

URLError timedOut(const std::string& why) {
  return URLError(CURLE_OPERATION_TIMEDOUT,
                  std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) + ": " + why);
}

}  // namespace

TransferTimer::TransferTimer(double timeoutInterval, double resourceInterval)
    : lastMoved_(Clock::now()),
      idleLimit_(limit(timeoutInterval, URLRequest::kDefaultTimeoutInterval)),
      lifeLimit_(
          limit(resourceInterval, URLSessionConfiguration::kDefaultTimeoutIntervalForResource)) {
  lifeEnds_ = lastMoved_ + lifeLimit_;
}

void TransferTimer::installOn(EasyOptions& set) {
  set(CURLOPT_XFERINFOFUNCTION, &TransferTimer::onProgress);
  set(CURLOPT_NOPROGRESS, 0L);
}

void TransferTimer::start(EasyHandlePool::Handle& handle) {
  handle.timer = this;
  movedBytes_ = 0;
}

void TransferTimer::noteActivity() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  lastMoved_ =
      Clock::time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

TransferTimer::Clock::time_point TransferTimer::deadline() const noexcept {
  return std::min(lastMoved_ + idleLimit_, lifeEnds_);
}

URLError TransferTimer::expiry() const {
  if (lifeEnds_ <= lastMoved_ + idleLimit_) {
    return timedOut("the task ran past the session's timeoutIntervalForResource of " +
                    std::to_string(lifeLimit_.count()) + " ms");
  }
  return timedOut("no data moved for " + std::to_string(idleLimit_.count()) + " ms");
}

int TransferTimer::onProgress(void* handle, curl_off_t, curl_off_t downloaded, curl_off_t,
                              curl_off_t uploaded) noexcept {
  // libcurl calls this whenever it looks at the transfer; only a change is news.
  auto& self = *static_cast<EasyHandlePool::Handle*>(handle)->timer;
  if (downloaded + uploaded != self.movedBytes_) {
    self.movedBytes_ = downloaded + uploaded;
    self.noteActivity();
  }
  return 0;
}

}  // namespace tamsenor::detail
