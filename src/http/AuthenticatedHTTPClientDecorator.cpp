#include "http/AuthenticatedHTTPClientDecorator.hpp"

#include <optional>

namespace tamsenor::detail {

std::shared_ptr<AuthenticatedHTTPClientDecorator> AuthenticatedHTTPClientDecorator::create(
    std::shared_ptr<HTTPClient> decoratee, SignRequest signRequest) {
  return std::shared_ptr<AuthenticatedHTTPClientDecorator>(
      new AuthenticatedHTTPClientDecorator(std::move(decoratee), std::move(signRequest)));
}

namespace {

// The signing function is the application's code: whatever it throws, an empty function
// included, stops here so that no exception crosses perform(). Why it failed is not ours to
// report, so the failure itself is dropped.
std::optional<URLRequest> sign(const HTTPClient::SignRequest& signRequest, URLRequest request) {
  try {
    auto signedRequest = signRequest(std::move(request));
    if (!signedRequest) return std::nullopt;
    return std::move(signedRequest).value();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

void AuthenticatedHTTPClientDecorator::perform(URLRequest request, Completion completion) {
  auto signedRequest = sign(signRequest_, std::move(request));
  if (!signedRequest) {
    completion(HTTPClientResult::failure(HTTPClientError::missingRequiredAuthentication()));
    return;
  }
  decoratee_->perform(std::move(*signedRequest), std::move(completion));
}

}  // namespace tamsenor::detail
