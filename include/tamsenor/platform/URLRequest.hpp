#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"
#include "tamsenor/platform/URL.hpp"

namespace tamsenor {

// Kept with the record for whoever reads it; URLSession has no cache, so it asks the origin every
// time and both policies behave alike.
enum class URLRequestCachePolicy : std::uint8_t {
  useProtocolCachePolicy = 0,
  reloadIgnoringLocalCacheData = 1,
};

// An HTTP request record with value semantics: copies are independent. New records have method
// "GET", no header field and no body.
class URLRequest {
 public:
  static constexpr double kDefaultTimeoutInterval = 60.0;

  explicit URLRequest(
      URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy,
      double timeoutInterval = kDefaultTimeoutInterval)
      : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

  [[nodiscard]] const URL& url() const& noexcept { return url_; }
  [[nodiscard]] URL url() && noexcept { return std::move(url_); }
  void setURL(URL url) { url_ = std::move(url); }

  [[nodiscard]] const std::string& httpMethod() const noexcept { return httpMethod_; }
  void setHTTPMethod(std::string method) { httpMethod_ = std::move(method); }

  [[nodiscard]] const HTTPHeaderFields& allHTTPHeaderFields() const noexcept { return headers_; }
  [[nodiscard]] std::optional<std::string_view> value(std::string_view field) const {
    return headers_.value(field);
  }
  // Replaces any value the field had; names compare case-insensitively.
  void setValue(std::string value, std::string_view field) {
    headers_.set(field, std::move(value));
  }

  [[nodiscard]] const std::optional<Data>& httpBody() const noexcept { return body_; }
  void setHTTPBody(std::optional<Data> body) { body_ = std::move(body); }

  [[nodiscard]] URLRequestCachePolicy cachePolicy() const noexcept { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) noexcept { cachePolicy_ = policy; }

  // Seconds without a byte moving either way before the exchange fails with a time-out, counted
  // from resume(): resolving, connecting and waiting for a free connection count. Not positive:
  // kDefaultTimeoutInterval.
  [[nodiscard]] double timeoutInterval() const noexcept { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) noexcept { timeoutInterval_ = seconds; }

  friend bool operator==(const URLRequest&, const URLRequest&) = default;

 private:
  URL url_;
  std::string httpMethod_ = "GET";
  HTTPHeaderFields headers_;
  std::optional<Data> body_;
  URLRequestCachePolicy cachePolicy_;
  double timeoutInterval_;
};

}  // namespace tamsenor
