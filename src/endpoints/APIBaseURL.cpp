#include "tamsenor/endpoints/APIBaseURL.hpp"

#include <cstdlib>

namespace tamsenor {

const URL& apiBaseURL() {
  // The host is checked when the build is configured, so parsing cannot fail here. Never
  // destroyed: a session's thread may still build a request while the process exits.
  static const URL& kURL = *[] {
    auto parsed = URL::parse("https://" TAMSENOR_API_HOST "/v0/");
    if (!parsed) std::abort();
    return new URL(*std::move(parsed));
  }();
  return kURL;
}

}  // namespace tamsenor
