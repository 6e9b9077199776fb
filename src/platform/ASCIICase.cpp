#include "platform/ASCIICase.hpp"

#include <algorithm>

namespace tamsenor::detail {

namespace {
char lowerASCII(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerASCII(x) == lowerASCII(y);
         });
}

}  // namespace tamsenor::detail
