#include "support/PercentEncoding.hpp"

#include <array>

namespace tamsenor::detail {

namespace {

constexpr std::array<bool, 256> kUnreserved = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (const char c : std::string_view("-._~")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

}  // namespace

char* writePercentEncoded(char* out, std::string_view text) noexcept {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (kUnreserved[c]) {
      *out++ = ch;
    } else {
      out[0] = '%';
      out[1] = kUpperHexDigits[c >> 4];
      out[2] = kUpperHexDigits[c & 0x0F];
      out += 3;
    }
  }
  return out;
}

}  // namespace tamsenor::detail
