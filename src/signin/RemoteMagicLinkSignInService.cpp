#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

#include "signin/SignInLinkBody.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor {

std::shared_ptr<RemoteMagicLinkSignInService> RemoteMagicLinkSignInService::create(
    std::shared_ptr<HTTPClient> client, LogError logError) {
  return std::shared_ptr<RemoteMagicLinkSignInService>(
      new RemoteMagicLinkSignInService(std::move(client), std::move(logError)));
}

void RemoteMagicLinkSignInService::log(const std::string& message) const {
  if (logError_) logError_(message);
}

void RemoteMagicLinkSignInService::sendEmail(std::string to, Completion completion) {
  if (to.empty()) {
    log("RemoteMagicLinkSignInService: Error sending email - Empty email string was provided");
    completion(Error::invalidEmail);
    return;
  }
  auto body = detail::signInLinkBody(to);
  if (!body) {
    log("RemoteMagicLinkSignInService: Error sending email - Email string is not valid UTF-8");
    completion(Error::invalidEmail);
    return;
  }
  auto request = V0Endpoint::POST(
                     V0Endpoint::POST::send_sign_in_link{toData(*body), String::applicationJSON()})
                     .request();
  // Held weakly: a service the application has released must stay silent.
  client_->perform(std::move(request),
                   [weakSelf = weak_from_this(), to = std::move(to),
                    completion = std::move(completion)](HTTPClientResult result) {
                     if (const auto self = weakSelf.lock()) {
                       self->finish(to, std::move(result), completion);
                     }
                   });
}

void RemoteMagicLinkSignInService::finish(const std::string& to, HTTPClientResult result,
                                          const Completion& completion) const {
  const std::string prefix = "RemoteMagicLinkSignInService: Failed to send email to " + to;
  if (!result) {
    log(prefix + " - HTTP Client post failed with error " + to_string(result.error()));
    completion(Error::clientError);
    return;
  }
  const auto status = result.value().response().statusCode();
  if (status != 200) {
    log(prefix + " - HTTP Client post returned statusCode " + std::to_string(status));
    completion(Error::clientError);
    return;
  }
  completion(std::nullopt);
}

}  // namespace tamsenor
