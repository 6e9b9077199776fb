#include <array>

#include "endpoints/Decimal.hpp"
#include "platform/URLComponents.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::V0Endpoint {

namespace {

using detail::Decimal;

URL withQuery(URL url, std::span<const detail::URLQueryItem> items) {
  // An empty list would leave a bare "?"; the URL keeps no query part instead.
  if (items.empty()) return url;
  detail::URLComponents components(std::move(url));
  components.setQueryItems(items);
  return std::move(components).url();
}

URL urlFor(const GET::research_interests_works& c) {
  const Decimal id(c.id);
  URL url = apiBaseURL()
                .appendingPathComponent("research_interests")
                .appendingPathComponent(id.view())
                .appendingPathComponent("works");
  std::optional<Decimal> cursor, pageSize;
  std::array<detail::URLQueryItem, 2> items;
  std::size_t count = 0;
  if (c.cursor) items[count++] = {"cursor", cursor.emplace(*c.cursor).view()};
  if (c.pageSize) items[count++] = {"page_size", pageSize.emplace(*c.pageSize).view()};
  return withQuery(std::move(url), std::span(items.data(), count));
}

URL urlFor(const GET::research_interests_search& c) {
  URL url =
      apiBaseURL().appendingPathComponent("research_interests").appendingPathComponent("search");
  std::optional<Decimal> limit;
  std::array<detail::URLQueryItem, 2> items{detail::URLQueryItem{"q", c.query}};
  std::size_t count = 1;
  if (c.limitSize) items[count++] = {"limit", limit.emplace(*c.limitSize).view()};
  return withQuery(std::move(url), std::span(items.data(), count));
}

URL urlFor(const GET::research_interests_stats& c) {
  return apiBaseURL()
      .appendingPathComponent("research_interests")
      .appendingPathComponent(Decimal(c.id).view())
      .appendingPathComponent("stats");
}

URL urlFor(const GET::taggings& c) {
  const Decimal targetId(c.targetId);
  const std::array<detail::URLQueryItem, 3> items{
      detail::URLQueryItem{"tag_type", c.type}, detail::URLQueryItem{"target_type", c.target},
      detail::URLQueryItem{"target_id", targetId.view()}};
  return withQuery(apiBaseURL().appendingPathComponent("taggings", /*isDirectory=*/true), items);
}

URL urlFor(const GET::user_terms_acceptances&) {
  return apiBaseURL().appendingPathComponent("user_terms_acceptances");
}

}  // namespace

URLRequest GET::request() const {
  URLRequest request(std::visit([](const auto& c) { return urlFor(c); }, value_),
                     URLRequestCachePolicy::useProtocolCachePolicy, 60.0);
  request.setHTTPMethod("GET");
  request.setCachePolicy(URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  return request;
}

}  // namespace tamsenor::V0Endpoint
