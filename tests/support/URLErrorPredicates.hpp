#pragma once

#include <string>

#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::testsupport {

// The names of URLError's predicates that hold, joined by blanks; "" when none does.
inline std::string predicatesHolding(const URLError& error) {
  const std::string names =
      std::string(error.isInvalidConfiguration() ? " invalidConfiguration" : "") +
      (error.isCancelled() ? " cancelled" : "") + (error.isTimedOut() ? " timedOut" : "") +
      (error.isCannotConnect() ? " cannotConnect" : "") +
      (error.isSecureConnectionFailed() ? " secureConnectionFailed" : "") +
      (error.isConnectionLost() ? " connectionLost" : "") +
      (error.isBadServerResponse() ? " badServerResponse" : "");
  return names.empty() ? names : names.substr(1);
}

}  // namespace tamsenor::testsupport
