#pragma once

#include <string>
#include <string_view>

namespace tamsenor::detail {

// Appends `text` with every byte but A-Z a-z 0-9 - . _ ~ written as %XX (upper-case hex). Safe for
// a path segment and for a query name or value under form decoding, which reads "+" as a blank.
void appendPercentEncoded(std::string& out, std::string_view text);

}  // namespace tamsenor::detail
