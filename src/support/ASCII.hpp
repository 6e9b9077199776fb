#pragma once

#include <string_view>

namespace tamsenor::detail {

// Header field names and URL schemes compare without regard to ASCII case; other bytes must match.
// Inline: most comparisons end at the lengths, and every request and answer makes dozens.
[[nodiscard]] inline bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i];
    const char y = b[i];
    if (x != y && ((x | 0x20) != (y | 0x20) || (x | 0x20) < 'a' || (x | 0x20) > 'z')) {
      return false;
    }
  }
  return true;
}

}  // namespace tamsenor::detail
