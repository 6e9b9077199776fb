#include "platform/ResponseHeadCheck.hpp"

#include <curl/curl.h>

#include <limits>
#include <string>

#include "support/ASCII.hpp"
#include "tamsenor/platform/HTTPHeaderFields.hpp"

namespace tamsenor::detail {

namespace {

URLError refused(CURLcode code, const char* reason) {
  return URLError(code, std::string(curl_easy_strerror(code)) + ": " + reason);
}

// Calls `member` with every comma-separated member of a field value, blanks around it removed;
// stops at the first refusal.
template <typename Member>
std::optional<URLError> forEachMember(std::string_view value, Member member) {
  for (;;) {
    const auto comma = value.find(',');
    if (auto refusal = member(trimmed(value.substr(0, comma)))) return refusal;
    if (comma == std::string_view::npos) return std::nullopt;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<URLError> ResponseHeadCheck::statusLine(std::string_view line) {
  contentLength_.reset();
  chunked_ = false;
  http10_ = line.starts_with("HTTP/1.0 ");
  const auto space = line.find(' ');
  if (space != std::string_view::npos && line.substr(space + 1, 3) == "101") {
    return refused(CURLE_WEIRD_SERVER_REPLY, "101 Switching Protocols without a requested upgrade");
  }
  return std::nullopt;
}

std::optional<URLError> ResponseHeadCheck::field(std::string_view name, std::string_view value) {
  // libcurl would not take "Content-Length : 2" for a length and read to the close instead.
  if (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
    return refused(CURLE_WEIRD_SERVER_REPLY, "a header field has a blank before its colon");
  }
  // Most fields are neither of the two framing fields, which their lengths tell at once.
  constexpr std::string_view kLength = "Content-Length";
  constexpr std::string_view kCoding = "Transfer-Encoding";
  if (name.size() != kLength.size() && name.size() != kCoding.size()) return std::nullopt;
  std::optional<URLError> refusal;
  if (equalsIgnoringASCIICase(name, kLength)) {
    refusal = readContentLength(value);
  } else if (equalsIgnoringASCIICase(name, kCoding)) {
    if (http10_) {
      return refused(CURLE_WEIRD_SERVER_REPLY, "an HTTP/1.0 answer has a transfer coding");
    }
    refusal = readTransferEncoding(value);
  } else {
    return std::nullopt;
  }
  if (!refusal && chunked_ && contentLength_) {
    return refused(CURLE_WEIRD_SERVER_REPLY, "Content-Length together with chunked coding");
  }
  return refusal;
}

// Repeats and list members ("5, 5") are one length said again; anything else is a framing the
// client would have to guess at (RFC 9112, section 6.3).
std::optional<URLError> ResponseHeadCheck::readContentLength(std::string_view value) {
  return forEachMember(value, [this](std::string_view member) -> std::optional<URLError> {
    const auto notDigits = [] {
      return refused(CURLE_WEIRD_SERVER_REPLY, "Content-Length is not one run of decimal digits");
    };
    if (member.empty()) return notDigits();
    std::int64_t length = 0;
    for (char c : member) {
      if (c < '0' || c > '9') return notDigits();
      if (length > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) {
        return refused(CURLE_WEIRD_SERVER_REPLY, "Content-Length is too large");
      }
      length = length * 10 + (c - '0');
    }
    if (contentLength_ && *contentLength_ != length) {
      return refused(CURLE_WEIRD_SERVER_REPLY, "Content-Length values differ");
    }
    contentLength_ = length;
    return std::nullopt;
  });
}

// The request carries no TE field, so chunked, once, is the only coding a server may apply;
// libcurl would otherwise undo others (gzip) on its own, without any bound on the result.
std::optional<URLError> ResponseHeadCheck::readTransferEncoding(std::string_view value) {
  return forEachMember(value, [this](std::string_view member) -> std::optional<URLError> {
    if (!equalsIgnoringASCIICase(member, "chunked") || chunked_) {
      return refused(CURLE_BAD_CONTENT_ENCODING, "only the chunked transfer coding is accepted");
    }
    chunked_ = true;
    return std::nullopt;
  });
}

}  // namespace tamsenor::detail
