#include "tamsenor/http/HTTPClientError.hpp"

namespace tamsenor {

HTTPClientError HTTPClientError::networkError(URLError underlying) {
  return HTTPClientError(Case::networkError, std::move(underlying));
}

HTTPClientError HTTPClientError::unexpectedResponseType() {
  return HTTPClientError(Case::unexpectedResponseType, std::nullopt);
}

HTTPClientError HTTPClientError::missingRequiredAuthentication() {
  return HTTPClientError(Case::missingRequiredAuthentication, std::nullopt);
}

std::string_view to_string(HTTPClientError::Case kind) noexcept {
  switch (kind) {
    case HTTPClientError::Case::networkError:
      return "networkError";
    case HTTPClientError::Case::unexpectedResponseType:
      return "unexpectedResponseType";
    case HTTPClientError::Case::missingRequiredAuthentication:
      return "missingRequiredAuthentication";
  }
  return "unknown";
}

std::string to_string(const HTTPClientError& error) {
  std::string text(to_string(error.kind()));
  if (const auto& underlying = error.underlyingError()) {
    text += '(';
    text += underlying->description();
    text += ')';
  }
  return text;
}

std::ostream& operator<<(std::ostream& out, HTTPClientError::Case kind) {
  return out << to_string(kind);
}

std::ostream& operator<<(std::ostream& out, const HTTPClientError& error) {
  return out << to_string(error);
}

}  // namespace tamsenor
