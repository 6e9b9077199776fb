#pragma once

#include <string_view>

namespace tamsenor::fuzz {

// Well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF), written apart
// from the library so that the two can check each other.
inline bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    unsigned long codePoint;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace tamsenor::fuzz
