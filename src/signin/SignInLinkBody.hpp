#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsenor::detail {

// The body `{"email": "<address>"}` with the address as a JSON string: escaped where JSON needs
// it, byte for byte otherwise. Nothing when the address is not valid UTF-8.
[[nodiscard]] std::optional<std::string> signInLinkBody(std::string_view address);

}  // namespace tamsenor::detail
