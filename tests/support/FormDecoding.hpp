#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamsenor::testsupport {

// Decoding as a server does it, written apart from the library's encoder so that the two can
// check each other: %XX escapes (either hex case), and for form data "+" as a blank.
inline std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (text.size() - i < 3) return std::nullopt;
      const int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (plusIsSpace && text[i] == '+') {
      out += ' ';
    } else {
      out += text[i];
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
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return segments;
}

}  // namespace tamsenor::testsupport
