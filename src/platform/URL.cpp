#include "tamsenor/platform/URL.hpp"

#include <algorithm>
#include <utility>

#include "support/ASCII.hpp"
#include "support/PercentEncoding.hpp"

namespace tamsenor {

namespace {

using detail::isASCIIAlpha;
using detail::isASCIIAlphanumeric;
using detail::isUnreservedOrSubDelim;
using detail::parsedPort;

// Checks that text[begin, end) holds only unreserved and sub-delim characters, the `extra` ones,
// and well-formed percent escapes.
bool isWellFormed(std::string_view text, std::size_t begin, std::size_t end,
                  std::string_view extra) noexcept {
  for (std::size_t i = begin; i < end; ++i) {
    const char c = text[i];
    if (c == '%') {
      if (!detail::startsWithPercentEscape(text.substr(i, end - i))) return false;
      i += 2;
    } else if (!isUnreservedOrSubDelim(c) && extra.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The authority after any user information: "host", "host:port", "[v6]" or "[v6]:port".
std::string_view hostAndPortOf(std::string_view authority) noexcept {
  const auto at = authority.rfind('@');
  return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

// Where the port's ":" is in a host-and-port, or npos.
std::size_t portColon(std::string_view hostAndPort) noexcept {
  const auto hostEnd =
      hostAndPort.empty() || hostAndPort.front() != '[' ? 0 : hostAndPort.find(']');
  return hostAndPort.find(':', hostEnd);
}

bool isValidAuthority(std::string_view authority) noexcept {
  if (!isWellFormed(authority, 0, authority.size(), ":@[]")) return false;
  const std::string_view hostAndPort = hostAndPortOf(authority);
  std::string_view port;
  if (!hostAndPort.empty() && hostAndPort.front() == '[') {
    const auto close = hostAndPort.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    port = hostAndPort.substr(close + 1);
    if (!port.empty() && port.front() != ':') return false;
  } else {
    const auto colon = hostAndPort.find(':');
    if (colon == 0 || hostAndPort.empty()) return false;
    if (colon != std::string_view::npos) port = hostAndPort.substr(colon);
    if (hostAndPort.find_first_of("[]") != std::string_view::npos) return false;
  }
  // Leading zeros are allowed; a value above 65535 names no port, whatever libcurl makes of it.
  // A colon without digits is allowed too.
  return port.size() <= 1 || parsedPort(port.substr(1)).has_value();
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  std::size_t i = 0;
  if (text.empty() || !isASCIIAlpha(text[0])) return std::nullopt;
  while (i < text.size() &&
         (isASCIIAlphanumeric(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) {
    ++i;
  }
  if (text.substr(i, 3) != "://") return std::nullopt;
  URL url;
  url.schemeEnd_ = i;
  const std::size_t authorityStart = i + 3;
  url.pathStart_ = text.find_first_of("/?#", authorityStart);
  if (url.pathStart_ == std::string_view::npos) url.pathStart_ = text.size();
  url.fragmentStart_ = text.find('#', url.pathStart_);
  if (url.fragmentStart_ == std::string_view::npos) url.fragmentStart_ = text.size();
  url.queryStart_ = text.find('?', url.pathStart_);
  if (url.queryStart_ == std::string_view::npos || url.queryStart_ > url.fragmentStart_) {
    url.queryStart_ = url.fragmentStart_;
  }

  const bool hasQuery = url.queryStart_ < url.fragmentStart_;
  const bool hasFragment = url.fragmentStart_ < text.size();
  if (!isValidAuthority(text.substr(authorityStart, url.pathStart_ - authorityStart)) ||
      !isWellFormed(text, url.pathStart_, url.queryStart_, ":@/") ||
      (hasQuery && !isWellFormed(text, url.queryStart_ + 1, url.fragmentStart_, ":@/?")) ||
      (hasFragment && !isWellFormed(text, url.fragmentStart_ + 1, text.size(), ":@/?"))) {
    return std::nullopt;
  }
  url.text_ = std::string(text);
  return url;
}

std::string_view URL::scheme() const noexcept {
  return std::string_view(text_).substr(0, schemeEnd_);
}

std::string_view URL::authority() const noexcept {
  return std::string_view(text_).substr(schemeEnd_ + 3, pathStart_ - schemeEnd_ - 3);
}

std::string_view URL::host() const noexcept {
  std::string_view host = hostAndPortOf(authority());
  host = host.substr(0, portColon(host));
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  return host;
}

std::optional<std::uint16_t> URL::port() const noexcept {
  const std::string_view hostAndPort = hostAndPortOf(authority());
  const auto colon = portColon(hostAndPort);
  if (colon == std::string_view::npos) return std::nullopt;
  return parsedPort(hostAndPort.substr(colon + 1));
}

std::string_view URL::path() const noexcept {
  return std::string_view(text_).substr(pathStart_, queryStart_ - pathStart_);
}

std::optional<std::string_view> URL::query() const noexcept {
  if (queryStart_ == fragmentStart_) return std::nullopt;
  return std::string_view(text_).substr(queryStart_ + 1, fragmentStart_ - queryStart_ - 1);
}

URL URL::appendingPathComponent(std::string_view segment, bool isDirectory) const {
  return appending(std::span(&segment, 1), {}, isDirectory);
}

URL URL::appending(std::span<const std::string_view> segments,
                   std::span<const URLQueryItem> queryItems, bool isDirectory) const {
  // Written straight into a buffer sized for the worst case, each byte becoming at most three,
  // then cut to length: one allocation, no per-piece bookkeeping.
  const std::size_t kept =
      queryItems.empty() ? text_.size() - queryStart_ : text_.size() - fragmentStart_;
  std::size_t room = queryStart_ + kept + 1;
  for (const auto segment : segments) room += 1 + 3 * segment.size();
  for (const auto& [name, value] : queryItems) room += 2 + 3 * (name.size() + value.size());
  URL url;
  url.text_.resize(room);
  char* const begin = url.text_.data();
  char* out = std::copy_n(text_.data(), queryStart_, begin);
  for (const auto segment : segments) {
    if (out == begin + pathStart_ || out[-1] != '/') *out++ = '/';
    out = detail::writePercentEncoded(out, segment);
  }
  if (isDirectory) *out++ = '/';
  url.schemeEnd_ = schemeEnd_;
  url.pathStart_ = pathStart_;
  url.queryStart_ = static_cast<std::size_t>(out - begin);
  if (queryItems.empty()) {
    url.fragmentStart_ = fragmentStart_ + url.queryStart_ - queryStart_;
    out = std::copy_n(text_.data() + queryStart_, kept, out);  // query and fragment as they were
  } else {
    char separator = '?';
    for (const auto& [name, value] : queryItems) {
      *out++ = std::exchange(separator, '&');
      out = detail::writePercentEncoded(out, name);
      *out++ = '=';
      out = detail::writePercentEncoded(out, value);
    }
    url.fragmentStart_ = static_cast<std::size_t>(out - begin);
    out = std::copy_n(text_.data() + fragmentStart_, kept, out);
  }
  url.text_.resize(static_cast<std::size_t>(out - begin));
  return url;
}

}  // namespace tamsenor
