#pragma once

#include <span>
#include <string_view>

#include "tamsenor/platform/URL.hpp"

namespace tamsenor::detail {

// One query item; both texts are unencoded.
struct URLQueryItem {
  std::string_view name;
  std::string_view value;
};

// Rebuilds a URL with another query. Splitting and joining cannot fail: the URL was checked when
// it was made, and every query byte we write is percent-encoded.
class URLComponents {
 public:
  explicit URLComponents(URL url) : url_(std::move(url)) {}

  // Replaces the query with the items in order, "name=value" joined by "&"; names and values are
  // percent-encoded for form decoding. No items remove the query and its "?".
  void setQueryItems(std::span<const URLQueryItem> items);

  [[nodiscard]] const URL& url() const& noexcept { return url_; }
  [[nodiscard]] URL url() && noexcept { return std::move(url_); }

 private:
  URL url_;
};

}  // namespace tamsenor::detail
