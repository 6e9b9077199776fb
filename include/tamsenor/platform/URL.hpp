#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// One query item; both texts are unencoded.
struct URLQueryItem {
  std::string_view name;
  std::string_view value;
};

// An absolute URL ("scheme://authority/path?query#fragment"), held as its text. Immutable value;
// every URL that exists has been checked by parse() or built from one by the appending calls.
class TAMSENOR_EXPORT URL {
 public:
  // The URL for an absolute URL text, or nothing when the text is not one (blanks, control or
  // non-ASCII characters, a bad percent escape, no host, a port above 65535).
  [[nodiscard]] static std::optional<URL> parse(std::string_view text);

  [[nodiscard]] const std::string& absoluteString() const noexcept { return text_; }
  [[nodiscard]] std::string_view scheme() const noexcept;
  [[nodiscard]] std::string_view authority() const noexcept;  // host, with ":port" when given
  // The host as written, without user information or port; an IPv6 literal without its brackets
  // ("::1"), the way URLSessionConfiguration::HostOverride names hosts.
  [[nodiscard]] std::string_view host() const noexcept;
  // The port the authority names, or nothing when it names none ("https://x/", "https://x:/").
  [[nodiscard]] std::optional<std::uint16_t> port() const noexcept;
  [[nodiscard]] std::string_view path() const noexcept;  // percent-encoded, may be empty
  [[nodiscard]] std::optional<std::string_view> query() const noexcept;  // without the "?"

  // This URL with one more path segment: a "/" separates it from the path unless the path ends in
  // one. The segment is percent-encoded (all but A-Z a-z 0-9 - . _ ~), so a server that decodes
  // the segment gets `segment` back. With isDirectory the new path ends in "/".
  [[nodiscard]] URL appendingPathComponent(std::string_view segment,
                                           bool isDirectory = false) const;
  // The same for several segments at once, then, when `queryItems` holds any, the query replaced
  // by them in order: "name=value" joined by "&", names and values percent-encoded as segments
  // are, which form decoding reads back. One allocation, no parsing.
  //   base.appending({{"taggings", "add"}}, {{{"target_id", "7"}}}) ->
  //   https://host/v0/taggings/add?target_id=7
  [[nodiscard]] URL appending(std::span<const std::string_view> segments,
                              std::span<const URLQueryItem> queryItems = {},
                              bool isDirectory = false) const;

  friend bool operator==(const URL& a, const URL& b) noexcept { return a.text_ == b.text_; }
  friend std::ostream& operator<<(std::ostream& out, const URL& url) { return out << url.text_; }

 private:
  URL() = default;

  std::string text_;
  // Offsets into text_: the authority starts after "://", the path at pathStart_, the query (if
  // any) after the "?" at queryStart_, and the fragment's "#" at fragmentStart_ (or text_.size()).
  std::size_t schemeEnd_ = 0;
  std::size_t pathStart_ = 0;
  std::size_t queryStart_ = 0;  // index of "?", or fragmentStart_ when there is no query
  std::size_t fragmentStart_ = 0;
};

}  // namespace tamsenor
