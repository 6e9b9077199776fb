#include "platform/ProxySetting.hpp"

#include <curl/curl.h>

#include <optional>

#include "support/ASCII.hpp"
#include "support/PercentEncoding.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"

namespace tamsenor::detail {

namespace {

bool allOf(std::string_view text, bool (*allowed)(char)) {
  for (char c : text) {
    if (!allowed(c)) return false;
  }
  return true;
}

// User information as RFC 3986 writes it (unreserved, sub-delims, percent escapes), decoded. A
// decoded NUL would cut the C string that libcurl gets, so it is refused too.
std::optional<std::string> decodedUserInfo(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (!startsWithPercentEscape(text.substr(i))) return std::nullopt;
      const char byte =
          static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
      if (byte == '\0') return std::nullopt;
      decoded.push_back(byte);
      i += 2;
    } else if (isUnreservedOrSubDelim(c)) {
      decoded.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  return decoded;
}

bool isHostChar(char c) { return isASCIIAlphanumeric(c) || c == '-' || c == '.' || c == '_'; }
bool isIPv6Char(char c) { return isASCIIHexDigit(c) || c == ':' || c == '.'; }

// Five digits at most, and never port 0.
bool isPort(std::string_view text) {
  const auto port = parsedPort(text);
  return text.size() <= 5 && port && *port != 0;
}

}  // namespace

std::variant<ProxySetting, URLError> ProxySetting::parse(std::string_view text) {
  const auto malformed = URLError::invalidConfiguration(
      CURLE_URL_MALFORMAT, std::string(curl_easy_strerror(CURLE_URL_MALFORMAT)) +
                               ": the session's proxy is not a valid proxy URL");
  const auto schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0 || !isASCIIAlpha(text.front()) ||
      !allOf(text.substr(0, schemeEnd), &isASCIIAlphanumeric)) {
    return malformed;
  }
  std::string scheme;
  for (char c : text.substr(0, schemeEnd)) scheme.push_back(static_cast<char>(c | 0x20));
  if (scheme != "http" && scheme != "socks5" && scheme != "socks5h") {
    return URLError::invalidConfiguration(
        CURLE_UNSUPPORTED_PROTOCOL,
        std::string(curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL)) +
            ": the session's proxy must be an http, socks5 or socks5h URL");
  }

  std::string_view rest = text.substr(schemeEnd + 3);
  const auto authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  // A path would name a Unix socket to libcurl; a query or fragment means nothing for a proxy.
  if (authorityEnd != std::string_view::npos && rest.substr(authorityEnd) != "/") return malformed;

  ProxySetting setting;
  if (const auto at = authority.find('@'); at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    const auto colon = userInfo.find(':');
    auto user = decodedUserInfo(userInfo.substr(0, colon));
    auto password = decodedUserInfo(colon == std::string_view::npos ? std::string_view()
                                                                    : userInfo.substr(colon + 1));
    if (!user || !password) return malformed;
    setting.hasCredentials = true;
    setting.user = std::move(*user);
    setting.password = std::move(*password);
  }

  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return malformed;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return malformed;
      port = after.substr(1);
      if (!isPort(port)) return malformed;
    }
    if (host.size() < 3 || !allOf(host.substr(1, host.size() - 2), &isIPv6Char)) return malformed;
  } else {
    if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (!isPort(port)) return malformed;
    }
    if (host.empty() || !allOf(host, &isHostChar)) return malformed;
  }

  setting.address = scheme + "://" + std::string(host);
  if (!port.empty()) setting.address += ":" + std::string(port);
  return setting;
}

}  // namespace tamsenor::detail
