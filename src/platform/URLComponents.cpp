#include "platform/URLComponents.hpp"

#include "platform/PercentEncoding.hpp"

namespace tamsenor {

void URLComponents::setQueryItems(std::span<const URLQueryItem> items) {
  const std::string& old = url_.text_;
  std::string text;
  text.reserve(old.size() + 64);
  text.append(old, 0, url_.queryStart_);
  const std::size_t queryStart = text.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += i == 0 ? '?' : '&';
    detail::appendPercentEncoded(text, items[i].name);
    text += '=';
    detail::appendPercentEncoded(text, items[i].value);
  }
  const std::size_t fragmentStart = text.size();
  text.append(old, url_.fragmentStart_);
  url_.text_ = std::move(text);
  url_.queryStart_ = queryStart;
  url_.fragmentStart_ = fragmentStart;
}

}  // namespace tamsenor
