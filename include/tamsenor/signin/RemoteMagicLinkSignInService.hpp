#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tamsenor/Export.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/signin/MagicLinkSignInService.hpp"

namespace tamsenor {

// Sends the sign-in-link request through `client` and reports each failure as one line to
// `logError` (when not empty) before completing. A refused address completes before sendEmail()
// returns; every other outcome runs on the client's delivery thread. A request in flight does not
// keep the service alive: released before the answer, it neither logs nor completes.
//   auto service = RemoteMagicLinkSignInService::create(client, nullptr);
class TAMSENOR_EXPORT RemoteMagicLinkSignInService final
    : public MagicLinkSignInService,
      public std::enable_shared_from_this<RemoteMagicLinkSignInService> {
 public:
  using Error = MagicLinkSignInService::Error;
  using LogError = std::function<void(const std::string&)>;

  // `client` must not be null; `logError` may be empty.
  [[nodiscard]] static std::shared_ptr<RemoteMagicLinkSignInService> create(
      std::shared_ptr<HTTPClient> client, LogError logError);

  // Refuses (invalidEmail) an empty address and one that is not valid UTF-8.
  void sendEmail(std::string to, Completion completion) override;

 private:
  RemoteMagicLinkSignInService(std::shared_ptr<HTTPClient> client, LogError logError)
      : client_(std::move(client)), logError_(std::move(logError)) {}

  void log(const std::string& message) const;
  void finish(const std::string& to, HTTPClientResult result, const Completion& completion) const;

  const std::shared_ptr<HTTPClient> client_;
  const LogError logError_;
};

}  // namespace tamsenor
