#pragma once

#include <memory>

#include "http/RetryWaits.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/http/StatusCodeRange.hpp"

namespace tamsenor::detail {

// Sends a request through the primary; when that fails or answers with a status inside
// statusCodes, sends the same record through the fallback, whose outcome stands. A request in
// flight holds the composer only weakly: once it is gone, the primary's answer is dropped.
// With `waits`, the fallback starts only after the wait they give for `retry` (0 for a chain's
// outermost composer), and not at all when the composer is gone by then.
class PrimaryWithFallbackHTTPClientComposer final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<PrimaryWithFallbackHTTPClientComposer> create(
      std::shared_ptr<HTTPClient> primary, std::shared_ptr<HTTPClient> fallback,
      StatusCodeRange statusCodes, std::shared_ptr<RetryWaits> waits = nullptr,
      std::uint64_t retry = 0);

  // What HTTPClient::withRetries returns: `receiver` itself for no retries, else the chain.
  [[nodiscard]] static std::shared_ptr<HTTPClient> chain(std::shared_ptr<HTTPClient> receiver,
                                                         std::uint64_t retryCount,
                                                         StatusCodeRange statusCodes,
                                                         const std::shared_ptr<RetryWaits>& waits);

  void perform(URLRequest request, Completion completion) override;

 private:
  PrimaryWithFallbackHTTPClientComposer(std::shared_ptr<HTTPClient> primary,
                                        std::shared_ptr<HTTPClient> fallback,
                                        StatusCodeRange statusCodes,
                                        std::shared_ptr<RetryWaits> waits, std::uint64_t retry)
      : primary_(std::move(primary)),
        fallback_(std::move(fallback)),
        statusCodes_(statusCodes),
        waits_(std::move(waits)),
        retry_(retry) {}

  // Whether the primary's outcome is handed to the caller rather than replaced by a fallback
  // attempt.
  [[nodiscard]] bool stands(const HTTPClientResult& result) const noexcept;

  const std::shared_ptr<HTTPClient> primary_;
  const std::shared_ptr<HTTPClient> fallback_;
  const StatusCodeRange statusCodes_;
  const std::shared_ptr<RetryWaits> waits_;  // none: the fallback starts at once
  const std::uint64_t retry_;
};

}  // namespace tamsenor::detail
