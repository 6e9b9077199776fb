#pragma once

#include <string_view>

namespace tamsenor::detail {

// Writes `text` at `out` with every byte but A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex) and
// returns the end of what it wrote; `out` must have room for three bytes per byte of `text`. Safe
// for a path segment and for a query name or value under form decoding, which reads "+" as a
// blank.
char* writePercentEncoded(char* out, std::string_view text) noexcept;

}  // namespace tamsenor::detail
