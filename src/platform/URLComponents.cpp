#include "platform/URLComponents.hpp"

#include <algorithm>

#include "platform/PercentEncoding.hpp"

namespace tamsenor::detail {

void URLComponents::setQueryItems(std::span<const URLQueryItem> items) {
  // A checked URL holds no "?" before its query and no "#" before its fragment.
  const std::string& old = url_.absoluteString();
  const std::size_t fragmentStart = std::min(old.find('#'), old.size());
  const std::size_t queryStart = std::min(old.find('?'), fragmentStart);
  std::string text;
  text.reserve(old.size() + 64);
  text.append(old, 0, queryStart);
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += i == 0 ? '?' : '&';
    appendPercentEncoded(text, items[i].name);
    text += '=';
    appendPercentEncoded(text, items[i].value);
  }
  text.append(old, fragmentStart);
  // Every byte added is percent-encoded or a delimiter, so the text is a URL again.
  if (auto rebuilt = URL::parse(text)) url_ = *std::move(rebuilt);
}

}  // namespace tamsenor::detail
