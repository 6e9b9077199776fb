#pragma once

#include <optional>
#include <span>
#include <string>

#include "tamsenor/http/URLError.hpp"
#include "tamsenor/http/URLRequest.hpp"

namespace tamsenor::detail {

// Why `request` must not be sent, or nothing when it may be: a scheme outside `allowedSchemes`
// (only "http" and "https" can be allowed), a method or header name that is not an HTTP token, a
// header value holding CR, LF or NUL, or a header field that the transport writes itself. The
// description names the field and the reason, never a header value.
[[nodiscard]] std::optional<URLError> validateRequest(const URLRequest& request,
                                                      std::span<const std::string> allowedSchemes);

}  // namespace tamsenor::detail
