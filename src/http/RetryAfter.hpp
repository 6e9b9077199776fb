#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace tamsenor::detail {

// The wait a Retry-After value asks for: delta-seconds (digits only), or an IMF-fixdate counted
// from `now` (none once it has passed); nothing for any other form.
[[nodiscard]] std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value,
                                                                  std::chrono::sys_seconds now);

// The one date form HTTP senders must use, "Sun, 06 Nov 1994 08:49:37 GMT", naming a day that
// exists and the weekday it falls on; nothing for any other text.
[[nodiscard]] std::optional<std::chrono::sys_seconds> parseIMFFixdate(std::string_view text);

}  // namespace tamsenor::detail
