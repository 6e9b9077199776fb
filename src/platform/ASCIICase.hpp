#pragma once

#include <string_view>

namespace tamsenor::detail {

// Header field names and URL schemes compare without regard to ASCII case; other bytes must match.
[[nodiscard]] bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) noexcept;

}  // namespace tamsenor::detail
