#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"
#include "tamsenor/platform/URL.hpp"

namespace tamsenor {

// Whatever answered a request. Shared by std::shared_ptr<const URLResponse> and never modified.
class TAMSENOR_EXPORT URLResponse {
 public:
  explicit URLResponse(URL url) : url_(std::move(url)) {}
  virtual ~URLResponse() = default;

  [[nodiscard]] const URL& url() const noexcept { return url_; }

 private:
  URL url_;
};

// Seconds from the start of the exchange to each step, as the transport measured them.
struct TransferTimings {
  double nameLookup = 0;
  double connect = 0;
  double tlsHandshake = 0;  // TLS handshake done
  double firstByte = 0;
  double total = 0;
};

// An HTTP answer. The library itself reads only statusCode; the rest is there for applications
// that log or inspect answers.
class TAMSENOR_EXPORT HTTPURLResponse final : public URLResponse {
 public:
  HTTPURLResponse(URL url, std::int64_t statusCode, HTTPHeaderFields headerFields = {},
                  std::string httpVersion = {}, TransferTimings timings = {})
      : URLResponse(std::move(url)),
        statusCode_(statusCode),
        headerFields_(std::move(headerFields)),
        httpVersion_(std::move(httpVersion)),
        timings_(timings) {}

  [[nodiscard]] std::int64_t statusCode() const noexcept { return statusCode_; }
  [[nodiscard]] const HTTPHeaderFields& allHeaderFields() const noexcept { return headerFields_; }
  // "1.0", "1.1", "2" or "3"; empty when unknown.
  [[nodiscard]] const std::string& httpVersion() const noexcept { return httpVersion_; }
  [[nodiscard]] const TransferTimings& timings() const noexcept { return timings_; }

 private:
  std::int64_t statusCode_;
  HTTPHeaderFields headerFields_;
  std::string httpVersion_;
  TransferTimings timings_;
};

}  // namespace tamsenor
