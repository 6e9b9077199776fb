#include "tamsenor/platform/PublicKeyPin.hpp"

namespace tamsenor {

namespace {

constexpr std::string_view kPrefix = "sha256/";
// 32 bytes take 43 base64 digits and one '='; the last digit carries 4 bits of the hash.
constexpr std::size_t kDigits = 43;

int digitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<PublicKeyPin> PublicKeyPin::parse(std::string_view text) {
  if (!text.starts_with(kPrefix)) return std::nullopt;
  const std::string_view base64 = text.substr(kPrefix.size());
  if (base64.size() != kDigits + 1 || base64.back() != '=') return std::nullopt;
  for (std::size_t i = 0; i < kDigits; ++i) {
    const int value = digitValue(base64[i]);
    if (value < 0) return std::nullopt;
    // libcurl compares the text, so only the one canonical spelling of a hash can ever match:
    // the two bits past the hash must be zero.
    if (i + 1 == kDigits && (value & 3) != 0) return std::nullopt;
  }
  return PublicKeyPin(std::string(base64));
}

}  // namespace tamsenor
