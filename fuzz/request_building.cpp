// Request building from arbitrary texts and integers: the URL stays under the base URL, parses
// again, and every query value and path segment decodes back to its input.
#include <boost/url/parse.hpp>
#include <boost/url/src.hpp>  // Debian builds no Boost.URL library: this is it, for this program
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.hpp"
#include "FuzzInput.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace {

using tamsenor::URL;
using tamsenor::URLRequest;
using tamsenor::V0Endpoint::GET;
using tamsenor::V0Endpoint::POST;
using Items = std::vector<std::pair<std::string, std::string>>;

// The path segments after "/v0/" and the query items, decoded as a server does (Boost.URL, "+"
// in a query as a blank), apart from the library's encoder so that the two check each other.
std::pair<std::vector<std::string>, Items> decode(const URLRequest& request) {
  const URL& url = request.url();
  const std::string& base = tamsenor::apiBaseURL().absoluteString();
  TAMSENOR_FUZZ_CHECK(url.absoluteString().compare(0, base.size(), base) == 0);
  TAMSENOR_FUZZ_CHECK(URL::parse(url.absoluteString()).has_value());
  TAMSENOR_FUZZ_CHECK(url.path().substr(0, 4) == "/v0/");
  const auto parsed = boost::urls::parse_uri(url.absoluteString());
  TAMSENOR_FUZZ_CHECK(parsed.has_value());
  std::vector<std::string> segments(std::next(parsed->segments().begin()),
                                    parsed->segments().end());
  Items items;
  for (const auto& item : parsed->params(boost::urls::encoding_opts(true))) {
    items.emplace_back(item.key, item.value);
  }
  return {segments, items};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tamsenor::fuzz::FuzzInput input(data, size);
  const std::string type = input.string(), target = input.string();
  const std::int64_t id = input.int64();
  const std::uint64_t cursor = input.uint64(), pageSize = input.uint64();
  const std::uint8_t presence = input.byte();
  const std::string query = input.rest();

  GET::research_interests_works works{.id = id};
  if (presence & 1) works.cursor = cursor;
  if (presence & 2) works.pageSize = pageSize;
  {
    auto [segments, items] = decode(GET(works).request());
    TAMSENOR_FUZZ_CHECK(
        (segments == std::vector<std::string>{"research_interests", std::to_string(id), "works"}));
    Items expected;
    if (works.cursor) expected.emplace_back("cursor", std::to_string(cursor));
    if (works.pageSize) expected.emplace_back("page_size", std::to_string(pageSize));
    TAMSENOR_FUZZ_CHECK(items == expected);
  }
  {
    GET::research_interests_search search{.query = query};
    if (presence & 4) search.limitSize = pageSize;
    auto [segments, items] = decode(GET(search).request());
    TAMSENOR_FUZZ_CHECK((segments == std::vector<std::string>{"research_interests", "search"}));
    Items expected{{"q", query}};
    if (search.limitSize) expected.emplace_back("limit", std::to_string(pageSize));
    TAMSENOR_FUZZ_CHECK(items == expected);
  }
  const Items tagging{
      {"tag_type", type}, {"target_type", target}, {"target_id", std::to_string(id)}};
  {
    auto [segments, items] =
        decode(GET(GET::taggings{.type = type, .target = target, .targetId = id}).request());
    TAMSENOR_FUZZ_CHECK((segments == std::vector<std::string>{"taggings", ""}));
    TAMSENOR_FUZZ_CHECK(items == tagging);
  }
  {
    const POST add(POST::taggings_add{type, target, id, tamsenor::toData(query), query});
    const URLRequest request = add.request();
    auto [segments, items] = decode(request);
    TAMSENOR_FUZZ_CHECK((segments == std::vector<std::string>{"taggings", "add"}));
    TAMSENOR_FUZZ_CHECK(items == tagging);
    TAMSENOR_FUZZ_CHECK(request.httpBody() == tamsenor::toData(query));
    TAMSENOR_FUZZ_CHECK(request.value("Content-Type") == query);
  }
  return 0;
}
