#pragma once

#include <future>
#include <optional>
#include <string>
#include <utility>

#include "tamsenor/http/Async.hpp"
#include "tamsenor/signin/MagicLinkSignInService.hpp"

namespace tamsenor {

// MagicLinkSignInService::sendEmail as a future and as co_await (tamsenor/http/Async.hpp).

[[nodiscard]] inline Awaitable<std::optional<MagicLinkSignInService::Error>> sendEmail(
    MagicLinkSignInService& service, std::string to) {
  return Awaitable<std::optional<MagicLinkSignInService::Error>>(
      [&service, to = std::move(to)](MagicLinkSignInService::Completion completion) mutable {
        service.sendEmail(std::move(to), std::move(completion));
      });
}

[[nodiscard]] inline std::future<std::optional<MagicLinkSignInService::Error>> sendEmail(
    MagicLinkSignInService& service, std::string to, UseFuture) {
  return detail::startWithFuture<std::optional<MagicLinkSignInService::Error>>(
      [&](MagicLinkSignInService::Completion completion) {
        service.sendEmail(std::move(to), std::move(completion));
      });
}

}  // namespace tamsenor
