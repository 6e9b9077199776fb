#include "tamsenor/endpoints/V0Endpoint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>

#include "tamsenor/endpoints/APIBaseURL.hpp"

namespace tamsenor {
namespace {

using GET = V0Endpoint::GET;
using POST = V0Endpoint::POST;

// "<method> <URL after the base>", a line per header field, then a blank line and the body when
// there is one.
std::string describe(const URLRequest& request) {
  const std::string& url = request.url().absoluteString();
  const std::string& base = apiBaseURL().absoluteString();
  std::string text =
      request.httpMethod() + ' ' +
      (url.starts_with(base) ? url.substr(base.size()) : "not under the base: " + url);
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    text += '\n' + name + ": " + value;
  if (request.httpBody()) text += "\n\n" + std::string(asText(*request.httpBody()));
  return text;
}

TEST(V0Endpoint, RequestRecords) {
  EXPECT_EQ(apiBaseURL().absoluteString(), "https://" TAMSENOR_API_HOST "/v0/");
  using Works = GET::research_interests_works;
  using Search = GET::research_interests_search;
  const Data body = toData("{}");
  const struct {
    std::variant<GET, POST> endpoint;
    std::string expected;
  } rows[] = {
      {GET(Works{.id = 42, .pageSize = 20, .cursor = 0}),
       "GET research_interests/42/works?cursor=0&page_size=20"},
      {GET(Works{.id = 42, .pageSize = 20}), "GET research_interests/42/works?page_size=20"},
      {GET(Works{.id = INT64_MIN, .cursor = UINT64_MAX}),
       "GET research_interests/-9223372036854775808/works?cursor=18446744073709551615"},
      {GET(Works{.id = 42}), "GET research_interests/42/works"},
      {GET(Search{.query = "neuro", .limitSize = 5}),
       "GET research_interests/search?q=neuro&limit=5"},
      {GET(Search{.query = "new york & c++ =50%#/?"}),
       "GET research_interests/search?q=new%20york%20%26%20c%2B%2B%20%3D50%25%23%2F%3F"},
      {GET(GET::research_interests_stats{.id = -3}), "GET research_interests/-3/stats"},
      {GET(GET::taggings{.type = "key word", .target = "a&b=c", .targetId = 9}),
       "GET taggings/?tag_type=key%20word&target_type=a%26b%3Dc&target_id=9"},
      {GET(GET::user_terms_acceptances{}), "GET user_terms_acceptances"},
      {POST(POST::firebase_device_registrations{body, "text/x-test"}),
       "POST firebase_device_registrations\nContent-Type: text/x-test\n\n{}"},
      {POST(POST::mobile_app_ab_test{{0xFF, '{', '\r', '\n'}, "Application/JSON; charset=\"x\"  "}),
       "POST mobile_app_ab_test\nContent-Type: Application/JSON; charset=\"x\"  \n\n\xff{\r\n"},
      {POST(POST::send_sign_in_link{{}, "application/json"}),
       "POST send_sign_in_link\nContent-Type: application/json\n\n"},
      {POST(POST::taggings_add{"key word", "a&b=c", 9, body, "application/json"}),
       "POST taggings/add?tag_type=key%20word&target_type=a%26b%3Dc&target_id=9\nContent-Type: "
       "application/json\n\n{}"},
      {POST(POST::taggings_remove{"k", "w", -1, body, "application/json"}),
       "POST taggings/remove?tag_type=k&target_type=w&target_id=-1\nContent-Type: "
       "application/json\n\n{}"},
      {POST(POST::user_terms_acceptances{body, "application/json"}),
       "POST user_terms_acceptances\nContent-Type: application/json\n\n{}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    const auto request = std::visit([](const auto& e) { return e.request(); }, row.endpoint);
    EXPECT_EQ(describe(request), row.expected);
    EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::reloadIgnoringLocalCacheData);
    EXPECT_EQ(request.timeoutInterval(), 60.0);
    // Building again, or from an endpoint given up, gives the same record.
    EXPECT_EQ(std::visit([](const auto& e) { return e.request(); }, row.endpoint), request);
    EXPECT_EQ(std::visit([](auto e) { return std::move(e).request(); }, row.endpoint), request);
  }
}

}  // namespace
}  // namespace tamsenor
