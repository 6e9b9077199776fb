#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"

namespace tamsenor::detail {

std::shared_ptr<PrimaryWithFallbackHTTPClientComposer>
PrimaryWithFallbackHTTPClientComposer::create(std::shared_ptr<HTTPClient> primary,
                                              std::shared_ptr<HTTPClient> fallback,
                                              StatusCodeRange statusCodes) {
  return std::shared_ptr<PrimaryWithFallbackHTTPClientComposer>(
      new PrimaryWithFallbackHTTPClientComposer(std::move(primary), std::move(fallback),
                                                statusCodes));
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
                      self->fallback_->perform(std::move(retained), std::move(completion));
                    });
}

}  // namespace tamsenor::detail
