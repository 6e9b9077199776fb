#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::detail {

// Reads a response head line by line, as libcurl hands it over, and refuses what a careful client
// must not guess at (RFC 9112, section 6): a Content-Length that is not one run of decimal digits
// or contradicts itself, a transfer coding other than chunked (the session never asks for one),
// chunked in an HTTP/1.0 answer or beside a Content-Length, a blank between a field's name and its
// colon, and a 101 Switching Protocols (the session never asks for an upgrade). Descriptions never
// quote the server's text.
class ResponseHeadCheck {
 public:
  // A status line starts a new head: what came before belonged to an interim (1xx) answer.
  [[nodiscard]] std::optional<URLError> statusLine(std::string_view line);
  // One field: its name as received (up to the colon) and its value without surrounding blanks.
  [[nodiscard]] std::optional<URLError> field(std::string_view name, std::string_view value);
  // The body length that the head announces, once a Content-Length has been read.
  [[nodiscard]] std::optional<std::int64_t> contentLength() const noexcept {
    return contentLength_;
  }

 private:
  std::optional<URLError> readContentLength(std::string_view value);
  std::optional<URLError> readTransferEncoding(std::string_view value);

  std::optional<std::int64_t> contentLength_;
  bool chunked_ = false;
  bool http10_ = false;
};

}  // namespace tamsenor::detail
