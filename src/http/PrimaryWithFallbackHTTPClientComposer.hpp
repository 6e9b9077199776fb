#pragma once

#include <memory>

#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/http/StatusCodeRange.hpp"

namespace tamsenor::detail {

// Sends a request through the primary; when that fails or answers with a status inside
// statusCodes, sends the same record through the fallback, whose outcome stands. A request in
// flight holds the composer only weakly: once it is gone, the primary's answer is dropped.
// Made only by HTTPClient::withRetries.
class PrimaryWithFallbackHTTPClientComposer final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<PrimaryWithFallbackHTTPClientComposer> create(
      std::shared_ptr<HTTPClient> primary, std::shared_ptr<HTTPClient> fallback,
      StatusCodeRange statusCodes);

  void perform(URLRequest request, Completion completion) override;

 private:
  PrimaryWithFallbackHTTPClientComposer(std::shared_ptr<HTTPClient> primary,
                                        std::shared_ptr<HTTPClient> fallback,
                                        StatusCodeRange statusCodes)
      : primary_(std::move(primary)), fallback_(std::move(fallback)), statusCodes_(statusCodes) {}

  // Whether the primary's outcome is handed to the caller rather than replaced by a fallback
  // attempt.
  [[nodiscard]] bool stands(const HTTPClientResult& result) const noexcept;

  const std::shared_ptr<HTTPClient> primary_;
  const std::shared_ptr<HTTPClient> fallback_;
  const StatusCodeRange statusCodes_;
};

}  // namespace tamsenor::detail
