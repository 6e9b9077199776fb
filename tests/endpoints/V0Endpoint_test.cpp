#include "tamsenor/endpoints/V0Endpoint.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/FormDecoding.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using GET = V0Endpoint::GET;
using POST = V0Endpoint::POST;
using ::testing::ElementsAre;
using ::testing::Pair;

std::string afterBase(const URLRequest& request) {
  const std::string& url = request.url().absoluteString();
  const std::string& base = apiBaseURL().absoluteString();
  EXPECT_EQ(url.compare(0, base.size(), base), 0) << url;
  return url.substr(base.size());
}

struct GETCase {
  const char* name;
  GET endpoint;
  const char* expected;
};

class V0EndpointGETURL : public ::testing::TestWithParam<GETCase> {};

TEST_P(V0EndpointGETURL, BuildsTheExactURLAndABareGetRecord) {
  const URLRequest request = GetParam().endpoint.request();
  EXPECT_EQ(afterBase(request), GetParam().expected);
  EXPECT_EQ(request.httpMethod(), "GET");
  EXPECT_TRUE(request.allHTTPHeaderFields().empty());
  EXPECT_FALSE(request.httpBody().has_value());
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  EXPECT_EQ(request.timeoutInterval(), 60.0);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, V0EndpointGETURL,
    ::testing::Values(
        GETCase{"WorksCursorAndPageSize",
                GET(GET::research_interests_works{.id = 42, .pageSize = 20, .cursor = 7}),
                "research_interests/42/works?cursor=7&page_size=20"},
        GETCase{"WorksPageSizeOnly", GET(GET::research_interests_works{.id = 42, .pageSize = 20}),
                "research_interests/42/works?page_size=20"},
        GETCase{"WorksCursorOnly", GET(GET::research_interests_works{.id = 42, .cursor = 7}),
                "research_interests/42/works?cursor=7"},
        GETCase{"WorksNeither", GET(GET::research_interests_works{.id = 42}),
                "research_interests/42/works"},
        GETCase{"WorksZeroes",
                GET(GET::research_interests_works{.id = 0, .pageSize = 0, .cursor = 0}),
                "research_interests/0/works?cursor=0&page_size=0"},
        GETCase{"WorksLargestCursorNegativeId",
                GET(GET::research_interests_works{.id = -5, .cursor = UINT64_MAX}),
                "research_interests/-5/works?cursor=18446744073709551615"},
        GETCase{"WorksExtremeIds", GET(GET::research_interests_works{.id = INT64_MIN}),
                "research_interests/-9223372036854775808/works"},
        GETCase{"SearchWithLimit",
                GET(GET::research_interests_search{.query = "neuro", .limitSize = 5}),
                "research_interests/search?q=neuro&limit=5"},
        GETCase{"SearchWithoutLimit", GET(GET::research_interests_search{.query = "neuro"}),
                "research_interests/search?q=neuro"},
        GETCase{"SearchEmptyQueryZeroLimit",
                GET(GET::research_interests_search{.query = "", .limitSize = 0}),
                "research_interests/search?q=&limit=0"},
        GETCase{"SearchEncodesTheQuery",
                GET(GET::research_interests_search{.query = "new york & c++ =50%"}),
                "research_interests/search?q=new%20york%20%26%20c%2B%2B%20%3D50%25"},
        GETCase{"Stats", GET(GET::research_interests_stats{.id = 42}),
                "research_interests/42/stats"},
        GETCase{"Taggings", GET(GET::taggings{.type = "keyword", .target = "work", .targetId = 9}),
                "taggings/?tag_type=keyword&target_type=work&target_id=9"},
        GETCase{"TaggingsNegativeId",
                GET(GET::taggings{.type = "keyword", .target = "work", .targetId = -3}),
                "taggings/?tag_type=keyword&target_type=work&target_id=-3"},
        GETCase{"UserTermsAcceptances", GET(GET::user_terms_acceptances{}),
                "user_terms_acceptances"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct POSTCase {
  const char* name;
  POST endpoint;
  const char* expected;
};

class V0EndpointPOSTURL : public ::testing::TestWithParam<POSTCase> {};

TEST_P(V0EndpointPOSTURL, BuildsTheExactURLWithBodyAndOnlyAContentType) {
  const URLRequest request = GetParam().endpoint.request();
  EXPECT_EQ(afterBase(request), GetParam().expected);
  EXPECT_EQ(request.httpMethod(), "POST");
  EXPECT_THAT(request.allHTTPHeaderFields(), ElementsAre(Pair("Content-Type", "text/x-test")));
  EXPECT_EQ(request.httpBody(), toData("body"));
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  EXPECT_EQ(request.timeoutInterval(), 60.0);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, V0EndpointPOSTURL,
    ::testing::Values(
        POSTCase{"FirebaseDeviceRegistrations",
                 POST(POST::firebase_device_registrations{toData("body"), "text/x-test"}),
                 "firebase_device_registrations"},
        POSTCase{"MobileAppABTest", POST(POST::mobile_app_ab_test{toData("body"), "text/x-test"}),
                 "mobile_app_ab_test"},
        POSTCase{"SendSignInLink", POST(POST::send_sign_in_link{toData("body"), "text/x-test"}),
                 "send_sign_in_link"},
        POSTCase{"TaggingsAdd",
                 POST(POST::taggings_add{"keyword", "work", 9, toData("body"), "text/x-test"}),
                 "taggings/add?tag_type=keyword&target_type=work&target_id=9"},
        POSTCase{"TaggingsRemove",
                 POST(POST::taggings_remove{"keyword", "work", 9, toData("body"), "text/x-test"}),
                 "taggings/remove?tag_type=keyword&target_type=work&target_id=9"},
        POSTCase{"TaggingsAddNegativeId",
                 POST(POST::taggings_add{"keyword", "work", -3, toData("body"), "text/x-test"}),
                 "taggings/add?tag_type=keyword&target_type=work&target_id=-3"},
        POSTCase{"UserTermsAcceptances",
                 POST(POST::user_terms_acceptances{toData("body"), "text/x-test"}),
                 "user_terms_acceptances"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(V0EndpointPOST, EmptyPayloadStillSetsAnEmptyBody) {
  const auto request = POST(POST::send_sign_in_link{{}, "application/json"}).request();
  ASSERT_TRUE(request.httpBody().has_value());
  EXPECT_TRUE(request.httpBody()->empty());
  EXPECT_EQ(request.value("Content-Type"), "application/json");
}

TEST(V0EndpointPOST, PayloadAndContentTypeTravelVerbatim) {
  const Data notJSON{0x00, 0xFF, '{', '\r', '\n'};
  const std::string oddType = "Application/JSON; charset=\"latin-1\"  ";
  const POST endpoint(POST::mobile_app_ab_test{notJSON, oddType});
  const auto request = endpoint.request();
  EXPECT_EQ(request.httpBody(), notJSON);
  EXPECT_EQ(request.value("content-type"), oddType);
  // Building from a temporary moves the payload and gives the same record.
  EXPECT_EQ(POST(POST::mobile_app_ab_test{notJSON, oddType}).request(), request);
}

TEST(V0Endpoint, ReadingTheRecordTwiceGivesEqualIndependentRecords) {
  const POST post(POST::taggings_add{"a b", "c", 1, toData("{}"), "application/json"});
  URLRequest first = post.request();
  const URLRequest second = post.request();
  EXPECT_EQ(first, second);
  first.setValue("changed", "Content-Type");
  first.setHTTPBody(std::nullopt);
  EXPECT_NE(first, second);
  EXPECT_EQ(post.request(), second);
  EXPECT_EQ(std::get<POST::taggings_add>(post.value()).payload, toData("{}"));

  const GET get(GET::research_interests_search{.query = "q", .limitSize = 1});
  EXPECT_EQ(get.request(), get.request());
}

TEST(V0Endpoint, UserTermsAcceptancesShareThePathButNotMethodBodyOrHeader) {
  const auto get = GET(GET::user_terms_acceptances{}).request();
  const auto post = POST(POST::user_terms_acceptances{toData("{}"), "application/json"}).request();
  EXPECT_EQ(get.url(), post.url());
  EXPECT_EQ(get.httpMethod(), "GET");
  EXPECT_EQ(post.httpMethod(), "POST");
  EXPECT_FALSE(get.httpBody().has_value());
  EXPECT_FALSE(get.value("Content-Type").has_value());
  EXPECT_EQ(post.value("Content-Type"), "application/json");
}

// A server that form-decodes the query gets every text back exactly, whatever it holds.
class V0EndpointQueryRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(V0EndpointQueryRoundTrip, FormDecodingGivesTheOriginalTextBack) {
  const std::string& text = GetParam();
  const auto search = GET(GET::research_interests_search{.query = text, .limitSize = 3}).request();
  EXPECT_THAT(testsupport::decodeForm(*search.url().query()),
              ElementsAre(Pair("q", text), Pair("limit", "3")));

  const auto getTaggings = GET(GET::taggings{.type = text, .target = text + "!", .targetId = 1});
  EXPECT_THAT(
      testsupport::decodeForm(*getTaggings.request().url().query()),
      ElementsAre(Pair("tag_type", text), Pair("target_type", text + "!"), Pair("target_id", "1")));

  const auto remove = POST(POST::taggings_remove{text, text, -1, {}, "application/json"});
  const URL url = remove.request().url();
  EXPECT_THAT(
      testsupport::decodeForm(*url.query()),
      ElementsAre(Pair("tag_type", text), Pair("target_type", text), Pair("target_id", "-1")));
  EXPECT_EQ(url.path(), std::string(apiBaseURL().path()) + "taggings/remove");
  // Whatever the text, the URL is still a URL the library would accept.
  EXPECT_TRUE(URL::parse(url.absoluteString()).has_value());
}

INSTANTIATE_TEST_SUITE_P(NastyTexts, V0EndpointQueryRoundTrip,
                         ::testing::Values("", "a&b=c", "c++", "50%", "#frag", "new york",
                                           "\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87", "a/b?c",
                                           "%41+%2B", std::string("nul\0ctl\x01\x7F", 10),
                                           "[]{}|\\^`\"<>'", "~-._"));

TEST(V0Endpoint, ARecordCanBeHandedToAnyClient) {
  auto client = testing::ScriptedHTTPClient::create();
  client->answerNext(204);
  std::optional<std::int64_t> status;
  const auto request =
      POST(POST::user_terms_acceptances{toData("{}"), "application/json"}).request();
  client->perform(
      request, [&](HTTPClientResult result) { status = result.value().response().statusCode(); });
  EXPECT_EQ(status, 204);
  EXPECT_EQ(client->request(0), request);
}

}  // namespace
}  // namespace tamsenor
