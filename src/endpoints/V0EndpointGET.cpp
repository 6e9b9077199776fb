#include <array>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "endpoints/Decimal.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::V0Endpoint {

namespace {

using detail::Decimal;
using Segments = std::initializer_list<std::string_view>;

URL urlFor(const GET::research_interests_works& c) {
  const Decimal id(c.id);
  std::optional<Decimal> cursor, pageSize;
  std::array<URLQueryItem, 2> items;
  std::size_t count = 0;
  if (c.cursor) items[count++] = {"cursor", cursor.emplace(*c.cursor).view()};
  if (c.pageSize) items[count++] = {"page_size", pageSize.emplace(*c.pageSize).view()};
  return apiBaseURL().appending(Segments{"research_interests", id.view(), "works"},
                                std::span(items.data(), count));
}

URL urlFor(const GET::research_interests_search& c) {
  std::optional<Decimal> limit;
  std::array<URLQueryItem, 2> items{URLQueryItem{"q", c.query}};
  std::size_t count = 1;
  if (c.limitSize) items[count++] = {"limit", limit.emplace(*c.limitSize).view()};
  return apiBaseURL().appending(Segments{"research_interests", "search"},
                                std::span(items.data(), count));
}

URL urlFor(const GET::research_interests_stats& c) {
  return apiBaseURL().appending(Segments{"research_interests", Decimal(c.id).view(), "stats"});
}

URL urlFor(const GET::taggings& c) {
  const Decimal targetId(c.targetId);
  const std::array<URLQueryItem, 3> items{URLQueryItem{"tag_type", c.type},
                                          URLQueryItem{"target_type", c.target},
                                          URLQueryItem{"target_id", targetId.view()}};
  return apiBaseURL().appending(Segments{"taggings"}, items, /*isDirectory=*/true);
}

URL urlFor(const GET::user_terms_acceptances&) {
  return apiBaseURL().appendingPathComponent("user_terms_acceptances");
}

}  // namespace

URLRequest GET::request() const {
  // A new record's method is already "GET".
  return URLRequest(std::visit([](const auto& c) { return urlFor(c); }, value_),
                    URLRequestCachePolicy::reloadIgnoringLocalCacheData);
}

}  // namespace tamsenor::V0Endpoint
