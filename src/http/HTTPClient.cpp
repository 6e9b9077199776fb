#include "tamsenor/http/HTTPClient.hpp"

#include <stdexcept>

#include "http/AuthenticatedHTTPClientDecorator.hpp"
#include "http/PrimaryWithFallbackHTTPClientComposer.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {

std::shared_ptr<HTTPClient> HTTPClient::withAuthentication(SignRequest signRequest) {
  return detail::AuthenticatedHTTPClientDecorator::create(shared_from_this(),
                                                          std::move(signRequest));
}

std::shared_ptr<HTTPClient> HTTPClient::withRetries(std::uint64_t retryCount,
                                                    StatusCodeRange statusCodes) {
  return detail::PrimaryWithFallbackHTTPClientComposer::chain(shared_from_this(), retryCount,
                                                              statusCodes, nullptr);
}

std::shared_ptr<HTTPClient> HTTPClient::withRetries(std::uint64_t retryCount,
                                                    StatusCodeRange statusCodes,
                                                    RetryBackoff backoff,
                                                    std::shared_ptr<URLSession> session) {
  if (!session) throw std::invalid_argument("withRetries: no session to wait on");
  auto waits = std::make_shared<detail::RetryWaits>(
      backoff, [session = std::move(session)](std::chrono::milliseconds delay,
                                              std::function<void(bool)> then) {
        session->callAfter(delay, std::move(then));
      });
  return detail::PrimaryWithFallbackHTTPClientComposer::chain(shared_from_this(), retryCount,
                                                              statusCodes, waits);
}

}  // namespace tamsenor
