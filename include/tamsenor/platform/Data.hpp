#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamsenor {

// Body bytes. Where a body may be missing it is a std::optional<Data>: empty and absent differ.
using Data = std::vector<std::uint8_t>;

[[nodiscard]] inline Data toData(std::string_view text) { return Data(text.begin(), text.end()); }

// A view of the bytes as text; valid while `data` lives and is not changed.
[[nodiscard]] inline std::string_view asText(const Data& data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

}  // namespace tamsenor
