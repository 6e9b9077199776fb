#pragma once

#include <string_view>

#include "support/ASCII.hpp"

namespace tamsenor::detail {

// RFC 3986's unreserved characters and sub-delims: what a URL's parts and user information may
// hold unescaped.
[[nodiscard]] constexpr bool isUnreservedOrSubDelim(char c) noexcept {
  return isASCIIAlphanumeric(c) ||
         std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Whether `text` starts with a well-formed percent escape: "%" and two hexadecimal digits.
[[nodiscard]] constexpr bool startsWithPercentEscape(std::string_view text) noexcept {
  return text.size() >= 3 && text[0] == '%' && isASCIIHexDigit(text[1]) && isASCIIHexDigit(text[2]);
}

// Writes `text` at `out` with every byte but A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex) and
// returns the end of what it wrote; `out` must have room for three bytes per byte of `text`. Safe
// for a path segment and for a query name or value under form decoding, which reads "+" as a
// blank.
char* writePercentEncoded(char* out, std::string_view text) noexcept;

}  // namespace tamsenor::detail
