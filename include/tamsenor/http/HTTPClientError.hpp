#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/URLError.hpp"

namespace tamsenor {

// The client layer's failure: the transport's error, an answer that is not an HTTP answer with a
// body, or a request whose signing failed.
class TAMSENOR_EXPORT HTTPClientError {
 public:
  enum class Case { networkError, unexpectedResponseType, missingRequiredAuthentication };

  // Defined out of line: inlined into a caller's local, the move of the URLError's description
  // makes GCC 12 report a bogus -Warray-bounds under -fsanitize=thread.
  [[nodiscard]] static HTTPClientError networkError(URLError underlying);
  [[nodiscard]] static HTTPClientError unexpectedResponseType();
  [[nodiscard]] static HTTPClientError missingRequiredAuthentication();

  [[nodiscard]] Case kind() const noexcept { return kind_; }
  // The transport's error; present exactly for networkError.
  [[nodiscard]] const std::optional<URLError>& underlyingError() const noexcept {
    return underlying_;
  }

  friend bool operator==(const HTTPClientError&, const HTTPClientError&) = default;

 private:
  HTTPClientError(Case kind, std::optional<URLError> underlying)
      : kind_(kind), underlying_(std::move(underlying)) {}

  Case kind_;
  std::optional<URLError> underlying_;
};

// The cases' raw values are part of the interface.
static_assert(static_cast<int>(HTTPClientError::Case::networkError) == 0 &&
              static_cast<int>(HTTPClientError::Case::unexpectedResponseType) == 1 &&
              static_cast<int>(HTTPClientError::Case::missingRequiredAuthentication) == 2);

// The case name as declared: "networkError", "unexpectedResponseType", ...
[[nodiscard]] TAMSENOR_EXPORT std::string_view to_string(HTTPClientError::Case kind) noexcept;
// The case name, and for networkError the underlying error's description in parentheses:
// "networkError(<description>)".
[[nodiscard]] TAMSENOR_EXPORT std::string to_string(const HTTPClientError& error);
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, HTTPClientError::Case kind);
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, const HTTPClientError& error);

}  // namespace tamsenor
