#include "tamsenor/signin/MagicLinkSignInService.hpp"

namespace tamsenor {

std::string_view to_string(MagicLinkSignInService::Error error) noexcept {
  switch (error) {
    case MagicLinkSignInService::Error::clientError:
      return "clientError";
    case MagicLinkSignInService::Error::invalidEmail:
      return "invalidEmail";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, MagicLinkSignInService::Error error) {
  return out << to_string(error);
}

}  // namespace tamsenor
