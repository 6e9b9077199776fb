#pragma once

#include <curl/curl.h>

#include <chrono>

#include "platform/CurlHandles.hpp"

namespace tamsenor::detail {

// A request's time-out is an idle time, not a total time: the connection (TLS included) must be
// up within it, and afterwards the exchange fails only once no byte has moved either way for that
// long. One timer per transfer, read and written on the loop thread only.
class IdleTimer {
 public:
  // What every easy handle keeps: the progress hook that does the timing.
  static void installOn(EasyOptions& set);
  // Starts timing an exchange on a handle that installOn() prepared. `timeoutInterval` is the
  // request's, in seconds; one that is not positive and finite means 60.
  void start(EasyOptions& set, double timeoutInterval);

  // Whether the timer stopped the exchange (libcurl then reports CURLE_ABORTED_BY_CALLBACK).
  [[nodiscard]] bool expired() const noexcept { return expired_; }
  // Says so, for libcurl's error buffer.
  void describeExpiry(char (&errorBuffer)[CURL_ERROR_SIZE]) const noexcept;

 private:
  static int onProgress(void* timer, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded) noexcept;

  std::chrono::steady_clock::time_point lastMoved_;
  std::chrono::milliseconds limit_{0};
  curl_off_t movedBytes_ = -1;
  bool expired_ = false;
};

}  // namespace tamsenor::detail
