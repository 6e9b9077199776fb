#pragma once

#include <cstddef>
#include <string_view>

namespace tamsenor::detail {

// Well-formed UTF-8: no overlong forms, surrogates or code points above U+10FFFF. JSON text must
// be Unicode, and Boost.JSON's serializer copies other bytes through unchecked.
[[nodiscard]] bool isValidUTF8(std::string_view text) noexcept;

// The length of the well-formed multi-byte sequence that starts `text`, or 0 (also for ASCII).
// For scanners that look at ASCII bytes themselves and need only the others checked.
[[nodiscard]] std::size_t utf8SequenceLength(std::string_view text) noexcept;

}  // namespace tamsenor::detail
