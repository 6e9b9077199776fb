#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/CurlHandles.hpp"
#include "platform/EasyHandlePool.hpp"
#include "platform/ResponseHeadCheck.hpp"
#include "platform/TransferTimer.hpp"
#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"
#include "tamsenor/platform/URL.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLResponse.hpp"

namespace tamsenor::detail {

// Reads one exchange's answer as libcurl hands it over (head checked line by line, trailer fields
// dropped, body kept within the session's limit, every piece reported to the timer), and turns
// how the exchange ended into a response or an error. An answer whose body is complete by its
// Content-Length while the request's body is still going out ends the exchange there (RFC 9113,
// section 8.1): libcurl 7.88 would wait for the rest to be wanted. Not so for an answer libcurl
// decodes: its Content-Length counts coded bytes, and the last of them may still hold decoded
// output that libcurl has yet to hand over. One reader per run of a transfer, on the loop thread
// only.
class ResponseReader {
 public:
  // What every easy handle keeps: the hooks for head and body.
  static void installOn(EasyOptions& set);
  // Starts reading an exchange on `handle`, which installOn() prepared and which sends a body of
  // `requestBodyBytes`. `bodyLimit` 0: none; it counts decoded bytes where libcurl `decodes`.
  void start(EasyHandlePool::Handle& handle, std::size_t requestBodyBytes, std::size_t bodyLimit,
             bool decodes, TransferTimer& timer);
  // Whether any of an answer (a status line) has arrived.
  [[nodiscard]] bool answered() const noexcept { return answered_; }

  // libcurl is done with `easy` and reports `code`: the error the exchange ended with, if any,
  // else the response, kept for takeResponse().
  [[nodiscard]] std::optional<URLError> outcome(CURL* easy, CURLcode code, URL url);
  [[nodiscard]] Data takeBody() noexcept { return std::move(body_); }
  [[nodiscard]] std::shared_ptr<const HTTPURLResponse> takeResponse() noexcept {
    return std::move(response_);
  }

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* handle) noexcept;
  static size_t onHeader(char* data, size_t size, size_t count, void* handle) noexcept;
  void reserveBody();
  bool answeredBeforeTheRequestWasSent() const;

  Data body_;
  HTTPHeaderFields headers_;
  std::shared_ptr<const HTTPURLResponse> response_;
  ResponseHeadCheck headCheck_;
  std::size_t bodyLimit_ = 0;
  std::size_t requestBodyBytes_ = 0;
  CURL* easy_ = nullptr;
  TransferTimer* timer_ = nullptr;
  // Why a hook stopped the exchange; it outranks the code libcurl then reports.
  std::optional<URLError> refusal_;
  bool answered_ = false;
  bool headerComplete_ = false;  // the blank line after the last status line arrived
  bool answeredEarly_ = false;   // the whole answer came while the request's body went out
  bool decodes_ = false;         // libcurl undoes the codings that the answer names
  bool coded_ = false;           // and this answer names one
  char* errorBuffer_ = nullptr;  // the handle's, CURL_ERROR_SIZE bytes
};

}  // namespace tamsenor::detail
