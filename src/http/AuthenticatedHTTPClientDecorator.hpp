#pragma once

#include <memory>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::detail {

// Signs each request, then hands it with the caller's completion to the decoratee. Holds nothing
// during a request; made only by HTTPClient::withAuthentication.
class AuthenticatedHTTPClientDecorator final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<AuthenticatedHTTPClientDecorator> create(
      std::shared_ptr<HTTPClient> decoratee, SignRequest signRequest);

  void perform(URLRequest request, Completion completion) override;

 private:
  AuthenticatedHTTPClientDecorator(std::shared_ptr<HTTPClient> decoratee, SignRequest signRequest)
      : decoratee_(std::move(decoratee)), signRequest_(std::move(signRequest)) {}

  const std::shared_ptr<HTTPClient> decoratee_;
  const SignRequest signRequest_;
};

}  // namespace tamsenor::detail
