#pragma once

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamsenor::testsupport {

// Decoding as a server does it, written apart from the library's encoder so that the two can
// check each other: %XX escapes (either hex case), and for form data "+" as a blank.
inline std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
    } else if (text.size() - i < 3 || !isHex(text[i + 1]) || !isHex(text[i + 2])) {
      return std::nullopt;
    } else {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    }
  }
  return out;
}

// Splits "a=1&b=2" into decoded (name, value) pairs, in order.
inline std::vector<std::pair<std::string, std::string>> decodeForm(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> items;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto item = query.substr(0, amp);
    const auto eq = item.find('=');
    items.emplace_back(percentDecode(item.substr(0, eq), true).value_or("<bad>"),
                       eq == std::string_view::npos
                           ? std::string()
                           : percentDecode(item.substr(eq + 1), true).value_or("<bad>"));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return items;
}

// The segments of a path (without its leading "/"), each decoded; a final "/" gives a last,
// empty segment.
inline std::vector<std::string> decodePathSegments(std::string_view path) {
  std::vector<std::string> segments;
  for (std::size_t start = 0;;) {
    const auto slash = path.find('/', start);
    segments.push_back(percentDecode(path.substr(start, slash - start), false).value_or("<bad>"));
    if (slash == std::string_view::npos) return segments;
    start = slash + 1;
  }
}

}  // namespace tamsenor::testsupport
