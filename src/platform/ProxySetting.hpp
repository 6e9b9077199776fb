#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::detail {

// A session's proxy, taken apart once so that its credentials reach libcurl on their own and no
// error text can quote them: `address` is "scheme://host[:port]" and holds no user information.
struct ProxySetting {
  std::string address;
  bool hasCredentials = false;
  std::string user;  // percent-decoded
  std::string password;

  // An http, socks5 or socks5h URL with an optional "user:password@" and nothing after the
  // authority but "/". Anything else is refused with a fixed description that quotes nothing.
  [[nodiscard]] static std::variant<ProxySetting, URLError> parse(std::string_view text);
};

}  // namespace tamsenor::detail
