#include "platform/URLRequestValidation.hpp"

#include <array>
#include <string_view>

#include "tamsenor/http/HTTPHeaderFields.hpp"

namespace tamsenor::detail {

namespace {

// One lookup per character: every request's method and field names pass through here.
constexpr std::array<bool, 256> tokenCharTable = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool isToken(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text) {
    if (!tokenCharTable[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

bool breaksLine(std::string_view value) noexcept {
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

// A name that failed the token test may carry anything, line breaks included; it is quoted with
// everything outside printable ASCII escaped so the description stays one harmless line.
std::string quoted(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    }
  }
  out += '"';
  return out;
}

// Framing and connection management belong to the transport: a caller's value for these would
// contradict what libcurl writes, or smuggle a second request onto the connection.
constexpr std::array<std::string_view, 5> transportOwnedFields{
    "Host", "Content-Length", "Transfer-Encoding", "Connection", "Expect"};

bool isAllowedScheme(std::string_view scheme, std::span<const std::string> allowedSchemes) {
  if (!equalsIgnoringASCIICase(scheme, "http") && !equalsIgnoringASCIICase(scheme, "https")) {
    return false;
  }
  for (const auto& allowed : allowedSchemes) {
    if (equalsIgnoringASCIICase(scheme, allowed)) return true;
  }
  return false;
}

}  // namespace

std::optional<URLError> validateRequest(const URLRequest& request,
                                        std::span<const std::string> allowedSchemes) {
  const auto scheme = request.url().scheme();
  if (!isAllowedScheme(scheme, allowedSchemes)) {
    return URLError(URLError::unsupportedScheme,
                    "URL scheme " + quoted(scheme) + " is not allowed in this session");
  }
  if (!isToken(request.httpMethod())) {
    return URLError(URLError::invalidHTTPMethod,
                    "HTTP method " + quoted(request.httpMethod()) + " is not an HTTP token");
  }
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    if (!isToken(name)) {
      return URLError(URLError::invalidHeaderField,
                      "header field name " + quoted(name) + " is not an HTTP token");
    }
    for (auto owned : transportOwnedFields) {
      if (equalsIgnoringASCIICase(name, owned)) {
        return URLError(URLError::invalidHeaderField,
                        "header field " + quoted(name) + " is written by the transport itself");
      }
    }
    if (breaksLine(value)) {
      return URLError(URLError::invalidHeaderField,
                      "header field " + quoted(name) + " has a value holding CR, LF or NUL");
    }
  }
  return std::nullopt;
}

}  // namespace tamsenor::detail
