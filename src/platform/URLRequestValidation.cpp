#include "platform/URLRequestValidation.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <string_view>

#include "support/ASCII.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"

namespace tamsenor::detail {

namespace {

// One lookup per character: every request's method and field names pass through here.
constexpr std::array<bool, 256> kTokenCharTable = [] {
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
    if (!kTokenCharTable[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

// Horizontal tab is the one control character a field value may hold; any other would reach the
// wire raw, and CR, LF or NUL would end the line early.
bool holdsControlCharacter(std::string_view value) noexcept {
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) return true;
  }
  return false;
}

// A name that failed the token test may carry anything, line breaks included; it is quoted with
// everything outside printable ASCII escaped so the description stays one harmless line.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kLowerHexDigits[byte >> 4];
      out += kLowerHexDigits[byte & 0xf];
    }
  }
  out += '"';
  return out;
}

// Framing and connection management belong to the transport: a caller's value for these would
// contradict what libcurl writes, or smuggle a second request onto the connection. Their lengths
// differ, so a name is compared with the one of its length at most.
bool isTransportOwned(std::string_view name) noexcept {
  switch (name.size()) {
    case 4:
      return equalsIgnoringASCIICase(name, "Host");
    case 6:
      return equalsIgnoringASCIICase(name, "Expect");
    case 10:
      return equalsIgnoringASCIICase(name, "Connection");
    case 14:
      return equalsIgnoringASCIICase(name, "Content-Length");
    case 17:
      return equalsIgnoringASCIICase(name, "Transfer-Encoding");
    default:
      return false;
  }
}

bool isAllowedScheme(std::string_view scheme, std::span<const std::string> allowedSchemes) {
  if (std::none_of(
          std::begin(kTransferSchemes), std::end(kTransferSchemes),
          [scheme](std::string_view known) { return equalsIgnoringASCIICase(scheme, known); })) {
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
  // libcurl would turn "user:password@" into an Authorization header that neither this check nor
  // the signing function sees. The text stays out of the description: it is a credential.
  if (request.url().authority().find('@') != std::string_view::npos) {
    return URLError(
        URLError::userInfoInURL,
        "URL holds user information before the host; send credentials in a header field");
  }
  if (!isToken(request.httpMethod())) {
    return URLError(URLError::invalidHTTPMethod,
                    "HTTP method " + quoted(request.httpMethod()) + " is not an HTTP token");
  }
  // Counted as HTTP/1.1 text: "METHOD URL HTTP/1.1", one "Name: value" line per field, the
  // blank line. The absolute URL stands for the request target and the Host line together.
  constexpr std::string_view kRequestLineEnd = " HTTP/1.1\r\n";
  std::size_t headBytes = request.httpMethod().size() + 1 + request.url().absoluteString().size() +
                          kRequestLineEnd.size() + 2;
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    headBytes += name.size() + 2 + value.size() + 2;
    if (!isToken(name)) {
      return URLError(URLError::invalidHeaderField,
                      "header field name " + quoted(name) + " is not an HTTP token");
    }
    if (isTransportOwned(name)) {
      return URLError(URLError::invalidHeaderField,
                      "header field " + quoted(name) + " is written by the transport itself");
    }
    if (holdsControlCharacter(value)) {
      return URLError(URLError::invalidHeaderField,
                      "header field " + quoted(name) +
                          " has a value holding a control character other than tab");
    }
  }
  if (headBytes > kMaxRequestHeadBytes) {
    return URLError(URLError::requestHeadTooLarge, "request head of " + std::to_string(headBytes) +
                                                       " bytes exceeds the limit of " +
                                                       std::to_string(kMaxRequestHeadBytes));
  }
  return std::nullopt;
}

}  // namespace tamsenor::detail
