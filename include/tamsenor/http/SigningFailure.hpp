#pragma once

#include <ostream>

namespace tamsenor {

// What a signing function returns when it cannot sign a request. It carries nothing: the client
// stack drops it and reports missingRequiredAuthentication instead.
struct SigningFailure {
  friend constexpr bool operator==(const SigningFailure&, const SigningFailure&) = default;
  friend std::ostream& operator<<(std::ostream& out, const SigningFailure&) {
    return out << "SigningFailure";
  }
};

}  // namespace tamsenor
