#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tamsenor::detail {

// ASCII character classes, whatever the C locale says: protocol text is ASCII.
[[nodiscard]] constexpr bool isASCIIDigit(char c) noexcept { return c >= '0' && c <= '9'; }
[[nodiscard]] constexpr bool isASCIIAlpha(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
[[nodiscard]] constexpr bool isASCIIAlphanumeric(char c) noexcept {
  return isASCIIAlpha(c) || isASCIIDigit(c);
}
[[nodiscard]] constexpr bool isASCIIHexDigit(char c) noexcept {
  return isASCIIDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// The value of a hexadecimal digit that isASCIIHexDigit admitted.
[[nodiscard]] constexpr int hexDigitValue(char c) noexcept {
  return isASCIIDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Hexadecimal digits by value, for writing escapes.
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

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

// `text` without the bytes of `front` before it and of `back` after it; by default HTTP's
// optional white space, blanks and tabs.
[[nodiscard]] constexpr std::string_view trimmed(std::string_view text,
                                                 std::string_view front = " \t",
                                                 std::string_view back = " \t") noexcept {
  while (!text.empty() && front.find(text.front()) != std::string_view::npos) text.remove_prefix(1);
  while (!text.empty() && back.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
  return text;
}

// A port written in decimal digits only, leading zeros allowed, up to 65535; 0 included.
[[nodiscard]] constexpr std::optional<std::uint16_t> parsedPort(std::string_view digits) noexcept {
  if (digits.empty()) return std::nullopt;
  unsigned value = 0;
  for (const char c : digits) {
    if (!isASCIIDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace tamsenor::detail
