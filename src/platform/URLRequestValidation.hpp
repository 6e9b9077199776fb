#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLRequest.hpp"

namespace tamsenor::detail {

// The largest request head sent: the method, the absolute URL and every header field, counted as
// HTTP/1.1 text ("METHOD URL HTTP/1.1", then "Name: value" per field, each line with CRLF, then
// the blank line). Well above what servers commonly accept, well below libcurl's own buffer.
inline constexpr std::size_t kMaxRequestHeadBytes = 64 * 1024;

// The schemes the session can fetch at all; a configuration may allow fewer.
inline constexpr std::string_view kTransferSchemes[] = {"http", "https"};

// Why `request` must not be sent, or nothing when it may be, by the first rule broken: a scheme
// outside `allowedSchemes` (only kTransferSchemes can be allowed), user information in the URL,
// a method that is not an HTTP token; then per field in order a name that is not a token, a field
// that the transport writes itself, a value holding a control character other than tab; last a
// head above kMaxRequestHeadBytes. The description names the field and the reason, never a header
// value or the URL's user information.
[[nodiscard]] std::optional<URLError> validateRequest(const URLRequest& request,
                                                      std::span<const std::string> allowedSchemes);

}  // namespace tamsenor::detail
