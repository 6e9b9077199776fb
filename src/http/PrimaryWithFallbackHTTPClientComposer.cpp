#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"

#include <stdexcept>

namespace tamsenor::detail {

std::shared_ptr<PrimaryWithFallbackHTTPClientComposer>
PrimaryWithFallbackHTTPClientComposer::create(std::shared_ptr<HTTPClient> primary,
                                              std::shared_ptr<HTTPClient> fallback,
                                              StatusCodeRange statusCodes,
                                              std::shared_ptr<RetryWaits> waits,
                                              std::uint64_t retry) {
  return std::shared_ptr<PrimaryWithFallbackHTTPClientComposer>(
      new PrimaryWithFallbackHTTPClientComposer(std::move(primary), std::move(fallback),
                                                statusCodes, std::move(waits), retry));
}

std::shared_ptr<HTTPClient> PrimaryWithFallbackHTTPClientComposer::chain(
    std::shared_ptr<HTTPClient> receiver, std::uint64_t retryCount, StatusCodeRange statusCodes,
    const std::shared_ptr<RetryWaits>& waits) {
  if (retryCount > kMaxRetryCount) {
    throw std::invalid_argument("withRetries: retryCount above HTTPClient::kMaxRetryCount");
  }
  // Every attempt goes through the receiver; each composer falls back on the chain built so far,
  // so the innermost fallback, and therefore the last attempt, is the receiver itself. The
  // outermost composer waits before the first retry.
  std::shared_ptr<HTTPClient> chain = receiver;
  for (std::uint64_t i = 0; i < retryCount; ++i) {
    chain = create(receiver, std::move(chain), statusCodes, waits, retryCount - 1 - i);
  }
  return chain;
}

bool PrimaryWithFallbackHTTPClientComposer::stands(const HTTPClientResult& result) const noexcept {
  if (!result) return false;
  return !statusCodes_.contains(result.value().response().statusCode());
}

void PrimaryWithFallbackHTTPClientComposer::perform(URLRequest request, Completion completion) {
  // The primary may change the record it is given, so the fallback gets an untouched copy.
  URLRequest retained = request;
  // Held weakly: the owner decides how long a retry chain lives, not the requests in flight.
  std::weak_ptr<PrimaryWithFallbackHTTPClientComposer> weakSelf =
      std::static_pointer_cast<PrimaryWithFallbackHTTPClientComposer>(shared_from_this());
  primary_->perform(std::move(request),
                    [weakSelf = std::move(weakSelf), completion = std::move(completion),
                     retained = std::move(retained)](HTTPClientResult result) mutable {
                      const auto self = weakSelf.lock();
                      if (!self) return;
                      if (self->stands(result)) {
                        completion(std::move(result));
                        return;
                      }
                      if (!self->waits_) {
                        self->fallback_->perform(std::move(retained), std::move(completion));
                        return;
                      }
                      // The wait holds the composer as weakly as the request did. Cut short, it
                      // ends now: a session that ended refuses the attempt itself.
                      self->waits_->wait(
                          self->waits_->delayBefore(self->retry_, result),
                          [weakSelf = std::move(weakSelf), completion = std::move(completion),
                           retained = std::move(retained)](bool) mutable {
                            if (const auto alive = weakSelf.lock()) {
                              alive->fallback_->perform(std::move(retained), std::move(completion));
                            }
                          });
                    });
}

}  // namespace tamsenor::detail
