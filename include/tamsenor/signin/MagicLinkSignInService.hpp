#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// Asks the server to e-mail a sign-in link. The completion runs at most once: with no error when
// the server accepted the request, otherwise with one of the Error cases.
class TAMSENOR_EXPORT MagicLinkSignInService {
 public:
  // clientError: sent but failed (client failure or a status other than 200).
  // invalidEmail: the address was refused before anything was sent.
  enum class Error { clientError, invalidEmail };
  using Completion = std::function<void(std::optional<Error>)>;

  MagicLinkSignInService() = default;
  MagicLinkSignInService(const MagicLinkSignInService&) = delete;
  MagicLinkSignInService& operator=(const MagicLinkSignInService&) = delete;
  virtual ~MagicLinkSignInService() = default;

  virtual void sendEmail(std::string to, Completion completion) = 0;
};

// Applications may keep the raw values: new cases go at the end.
static_assert(static_cast<int>(MagicLinkSignInService::Error::clientError) == 0 &&
              static_cast<int>(MagicLinkSignInService::Error::invalidEmail) == 1);

// The case name as declared: "clientError" or "invalidEmail".
[[nodiscard]] TAMSENOR_EXPORT std::string_view to_string(
    MagicLinkSignInService::Error error) noexcept;
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, MagicLinkSignInService::Error error);

}  // namespace tamsenor
