#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/CurlHandles.hpp"
#include "platform/IdleTimer.hpp"
#include "platform/ResponseHeadCheck.hpp"
#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"
#include "tamsenor/platform/URL.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLResponse.hpp"

namespace tamsenor::detail {

// Reads one exchange's answer as libcurl hands it over (head checked line by line, body kept
// within the session's limit), and turns how the exchange ended into a response or an error.
// One reader per transfer, on the loop thread only.
class ResponseReader {
 public:
  // What every easy handle keeps: the hooks for head, body and sending.
  static void installOn(EasyOptions& set);
  // Starts reading an exchange on a handle that installOn() prepared. `bodyLimit` 0: none.
  void start(EasyOptions& set, std::size_t bodyLimit);

  // libcurl is done with `easy` and reports `code`: the error the exchange ended with, if any,
  // else the response, kept for takeResponse().
  [[nodiscard]] std::optional<URLError> outcome(CURL* easy, CURLcode code, const IdleTimer& idle,
                                                const URL& url);
  [[nodiscard]] Data takeBody() noexcept { return std::move(body_); }
  [[nodiscard]] std::shared_ptr<const HTTPURLResponse> takeResponse() noexcept {
    return std::move(response_);
  }

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* reader) noexcept;
  static size_t onHeader(char* data, size_t size, size_t count, void* reader) noexcept;
  static int onSend(void* reader, char*, char*, int, int) noexcept;

  Data body_;
  HTTPHeaderFields headers_;
  std::shared_ptr<const HTTPURLResponse> response_;
  ResponseHeadCheck headCheck_;
  std::size_t bodyLimit_ = 0;
  // Why a hook stopped the exchange; it outranks the code libcurl then reports.
  std::optional<URLError> refusal_;
  bool headerComplete_ = false;  // the blank line after the last status line arrived
  int sendCount_ = 0;            // how often libcurl was about to put the request on a connection
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace tamsenor::detail
