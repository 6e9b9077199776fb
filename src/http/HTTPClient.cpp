#include "tamsenor/http/HTTPClient.hpp"

#include <stdexcept>

#include "http/AuthenticatedHTTPClientDecorator.hpp"
#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"

namespace tamsenor {

std::shared_ptr<HTTPClient> HTTPClient::withAuthentication(SignRequest signRequest) {
  return detail::AuthenticatedHTTPClientDecorator::create(shared_from_this(),
                                                          std::move(signRequest));
}

std::shared_ptr<HTTPClient> HTTPClient::withRetries(std::uint64_t retryCount,
                                                    StatusCodeRange statusCodes) {
  if (retryCount > kMaxRetryCount) {
    throw std::invalid_argument("withRetries: retryCount above HTTPClient::kMaxRetryCount");
  }
  const auto receiver = shared_from_this();
  // Every attempt goes through the receiver; each composer falls back on the chain built so far,
  // so the innermost fallback, and therefore the last attempt, is the receiver itself.
  std::shared_ptr<HTTPClient> chain = receiver;
  for (std::uint64_t i = 0; i < retryCount; ++i) {
    chain = detail::PrimaryWithFallbackHTTPClientComposer::create(receiver, std::move(chain),
                                                                  statusCodes);
  }
  return chain;
}

}  // namespace tamsenor
