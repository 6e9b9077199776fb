#include "tamsenor/abtesting/RemoteABTestService.hpp"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tamsenor/abtesting/framework/OStreamLogger.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using testing::ScriptedHTTPClient;
using Lines = std::vector<std::string>;

const ABTest kOnboarding{"onboarding", {"control", "variant_b"}, "control"};
const ABTest kPaywall{"paywall", {"monthly", "yearly"}, "monthly"};

// The answer body for the entries "name/state[/bucket];...".
std::string body(std::string entries, bool success = true) {
  const auto entry = [](const std::string& more) {
    return R"({"test_name":"$1","state":"$2")" + more + "}";
  };
  entries = std::regex_replace(entries, std::regex("([^;/]*)/([^;/]*)/([^;]*)"),
                               entry(R"(,"selected_bucket":"$3")"));
  entries = std::regex_replace(entries, std::regex("([^;/{]*)/([^;/]*)"), entry(""));
  std::replace(entries.begin(), entries.end(), ';', ',');
  return std::string(R"({"success":)") + (success ? "true" : "false") + R"(,"tests":[)" + entries +
         "]}";
}

// What the client answers: 200 with the entries "name/state[/bucket];...", another status or
// body, or a failure.
struct Answer {
  Answer(const char* entries) : text(body(entries)) {}
  Answer(std::int64_t code, std::string raw) : status(code), text(std::move(raw)) {}
  Answer(HTTPClientError error) : failure(std::move(error)) {}
  std::int64_t status = 200;
  std::string text;
  std::optional<HTTPClientError> failure;
};

// "-> <error>", or "-> " and what the completion was given.
template <class Result>
std::string outcome(const Result& result) {
  return "-> " + (result ? ::testing::PrintToString(result.value())
                         : std::string(to_string(result.error())));
}

struct Row {
  std::vector<ABTest> tests;           // fetched, or the first exposed when `exposed` is set
  std::optional<std::string> exposed;  // the bucket shown
  Answer answer;
  std::string transcript;  // "[warning ]<fetch|expose|map>: <message>" records, then the outcome
};
Row fetch(std::vector<ABTest> tests, Answer answer, std::string transcript) {
  return {std::move(tests), std::nullopt, std::move(answer), std::move(transcript)};
}
Row expose(std::string bucket, ABTest test, Answer answer, std::string transcript) {
  return {{std::move(test)}, std::move(bucket), std::move(answer), std::move(transcript)};
}
// Tests with the buckets x, y and "", x by default.
std::vector<ABTest> tests(std::initializer_list<const char*> names) {
  std::vector<ABTest> all;
  for (const char* name : names) all.push_back({name, {"x", "y", ""}, "x"});
  return all;
}

std::string transcriptOf(const Row& row) {
  auto client = ScriptedHTTPClient::create();
  std::ostringstream log;
  auto service = RemoteABTestService::create(
      client, "device-1", std::make_shared<OStreamLogger>(log, OStreamLogger::Location::included));
  row.answer.failure ? client->failNext(*row.answer.failure)
                     : client->answerNext(row.answer.status, row.answer.text);
  std::string outcomes;
  auto done = [&](const auto& result) {
    EXPECT_EQ(std::count(log.view().begin(), log.view().end(), '\n'),
              std::count(row.transcript.begin(), row.transcript.end(), '\n'))
        << "the records come first";
    outcomes += outcome(result);
  };
  if (row.exposed) {
    service->exposeBucket(*row.exposed, row.tests.at(0), done);
  } else {
    service->fetchBucketsForTests(row.tests, done);
  }
  // The logger's lines, with the file and a line number checked and left out, functions short.
  std::string transcript = log.str();
  for (const auto& [pattern, by] :
       {std::pair{"error: RemoteABTestService\\.cpp:[1-9][0-9]*: ", ""},
        {"warning: RemoteABTestService\\.cpp:[1-9][0-9]*: ", "warning "},
        {"fetchBucketsForTests\\(_:completion:\\)", "fetch"},
        {"exposeBucket\\(_:forTest:completion:\\)", "expose"},
        {"mapRemoteResponse\\(_:forTest:\\)", "map"}}) {
    transcript = std::regex_replace(transcript, std::regex(pattern), by);
  }
  return transcript + outcomes;
}

const std::string kDecodeFailure =
    "Failed to decode data into successful RemoteABTestConfigResponse\n-> invalidResponse";

TEST(RemoteABTestService, AnswerTranscripts) {
  const auto o = kOnboarding;
  std::vector<Row> rows{
      fetch({}, "", "-> emptyRequest"),
      fetch({o, {"bad\xff", {"a"}, "a"}}, "", "-> encodingError"),
      fetch({o}, HTTPClientError::unexpectedResponseType(),
            "fetch: HTTPClient returned error: unexpectedResponseType.\n-> networkError"),
      fetch({o}, {201, body("onboarding/inactive/control")},
            "fetch: Network Error: Server responded with bad status code:201\n-> networkError"),
      fetch({o}, {200, "<html>"}, "fetch: " + kDecodeFailure),
      fetch({o}, {200, body("onboarding/inactive/control", false)}, "fetch: " + kDecodeFailure),
      fetch({o}, "onboarding/finished/Control",
            "map: Invalid ABTest variant: Control onboarding\n-> invalidResponse"),
      // The missing tests are all logged before any record of the mapping.
      fetch(tests({"a", "b", "c", "d"}), "d/finished/x;b/inactive/y",
            "fetch: Unknown ABTest: a not included in response\n"
            "fetch: Unknown ABTest: c not included in response\n"
            "map: Mismatched ABTest default: b local default: x server default: y\n"
            "-> { b: inactive, d: finished(x) }"),
      // Results in the request's order; the first entry of a name is the only one used.
      fetch({kPaywall, o, o},
            "onboarding/active/variant_b;paywall/active/weekly;other/active/z;"
            "onboarding/active/unknown;paywall/finished/yearly",
            "map: Invalid ABTest variant: weekly paywall\n"
            "-> { onboarding: active(variant_b), onboarding: active(variant_b) }"),
      fetch({o},
            "Onboarding/active/control;onboardinf/active/control;onboard/active/control;"
            "onboarding_b/active/control;onboarding/inactive/control",
            "-> { onboarding: inactive }"),
      // Each state with and without a bucket, in and outside the test's buckets.
      fetch(tests({"i1", "i2", "i3", "i4", "a1", "a2", "a3", "a4", "f1", "f2", "f3"}),
            "i1/inactive/x;i2/inactive/y;i3/inactive;i4/inactive/;a1/active;a2/active/y;"
            "a3/active/z;a4/active/;f1/finished;f2/finished/y;f3/finished/Y ",
            "map: Mismatched ABTest default: i2 local default: x server default: y\n"
            "map: Unknown ABTest: i3 is not present on the server\n"
            "map: Mismatched ABTest default: i4 local default: x server default: \n"
            "map: Invalid Response from server: a1 was marked as active but did not specify a "
            "selected bucket.\n"
            "map: Invalid ABTest variant: z a3\n"
            "map: Invalid Response from server: f1 was marked as finished but did not specify a "
            "selected bucket.\n"
            "map: Invalid ABTest variant: Y  f3\n"
            "-> { i1: inactive, i2: inactive, i4: inactive, a2: active(y), a4: active(), f2: "
            "finished(y) }"),

      expose("", {"bad\xff", {}, ""}, "", "-> emptyRequest"),
      expose("a", {"bad\xff", {"a"}, "a"}, "", "-> encodingError"),
      expose("control", o,
             HTTPClientError::networkError(URLError(CURLE_COULDNT_RESOLVE_HOST, "No host")),
             "warning expose: HTTPClient returned networkError: No host.\n-> networkError"),
      expose("control", o, {201, body("onboarding/active/control")}, "-> networkError"),
      expose("control", o, {200, "[]"}, "expose: " + kDecodeFailure),
      expose("control", o, {200, body("onboarding/active/control", false)},
             "expose: " + kDecodeFailure),
      expose("control", o, "", "expose: " + kDecodeFailure),
      expose("control", o, "paywall/active/monthly;Onboarding/active/control",
             "expose: Invalid Response from server: onboarding returned no matching response.\n"
             "-> invalidResponse"),
      expose("control", o, "onboarding/active/other;onboarding/active/control",
             "map: Invalid ABTest variant: other onboarding\n-> invalidResponse"),
      // The server's bucket is compared with the one shown, for an active test only.
      expose("control", o, "onboarding/active/variant_b",
             "expose: Exposed incorrect ABTest variant: onboarding server exposed: variant_b, "
             "client expected: control.\n-> onboarding: active(variant_b)"),
      expose("control", o, "paywall/inactive;onboarding/active/control",
             "-> onboarding: active(control)"),
      expose("control", o, "onboarding/finished/variant_b", "-> onboarding: finished(variant_b)"),
      expose("variant_b", o, "onboarding/inactive/control", "-> onboarding: inactive"),
  };
  // 75 entries, three of each name, the first with a known bucket: enough that sorting them
  // partitions, so ties must keep the answer's order.
  Row many = fetch({}, "", "-> {");
  std::string entries;
  for (int i = 0; i < 75; ++i) {
    const auto name = "t" + std::to_string(i * 7 % 25);
    entries += (i ? ";" : "") + name + (i < 25 ? "/active/x" : "/active/unknown");
    if (i < 25) many.tests.push_back({name, {"x"}, "x"});
    if (i < 25) many.transcript += (i ? ", " : " ") + name + ": active(x)";
  }
  many.answer.text = body(entries);
  many.transcript += " }";
  rows.push_back(std::move(many));

  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + ": " + rows[i].answer.text);
    EXPECT_EQ(transcriptOf(rows[i]), rows[i].transcript);
  }
}

TEST(RemoteABTestService, SendsEachCallAndMeetsALaterAnswerAsItWasUnlessReleased) {
  auto client = ScriptedHTTPClient::create();
  std::ostringstream log;
  auto service = RemoteABTestService::create(client, "g", std::make_shared<OStreamLogger>(log));
  std::vector<ABTest> tests{kPaywall, kOnboarding};
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = token;
  Lines outcomes;
  const auto completion = [&outcomes, &token] {
    return [&outcomes, token](const auto& result) { outcomes.push_back(outcome(result)); };
  };
  const std::string saved = String::applicationJSON();
  String::applicationJSON() = "application/vnd.tamsenor+json";  // read at each call
  service->fetchBucketsForTests(tests, completion());
  String::applicationJSON() = saved;
  tests[1] = {"renamed", {}, ""};
  ASSERT_TRUE(client->respond(0, 200, body("onboarding/active/control;paywall/inactive/monthly")));
  EXPECT_EQ(outcomes, Lines{"-> { paywall: inactive, onboarding: active(control) }"});

  service->exposeBucket("not_a_bucket_of_it", kOnboarding, completion());
  service->fetchBucketsForTests({kOnboarding}, completion());
  const std::weak_ptr<RemoteABTestService> weak = service;
  service.reset();
  EXPECT_TRUE(weak.expired());  // the requests in flight do not keep it alive
  ASSERT_TRUE(client->respond(1, 200, body("onboarding/active/control")));
  ASSERT_TRUE(client->fail(2, HTTPClientError::unexpectedResponseType()));
  EXPECT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(log.str(), "");
  token.reset();
  EXPECT_TRUE(watch.expired());  // only the requests held the completions
  Lines sent;
  for (const auto& request : client->requests()) {
    sent.push_back(request.httpMethod() + ' ' + request.url().absoluteString() + ' ' +
                   std::string(request.value("Content-Type").value_or("")) + ' ' +
                   std::string(asText(request.httpBody().value_or(Data{}))));
  }
  const std::string kURL = "POST https://api.tamsenor.com/v0/mobile_app_ab_test ";
  EXPECT_EQ(sent, (Lines{kURL + "application/vnd.tamsenor+json " +
                             R"({"mobile_guid":"g","tests":[{"type":"tamsenor_test","test_name":)"
                             R"("paywall"},{"type":"tamsenor_test","test_name":"onboarding"}]})",
                         kURL + "application/json " +
                             R"({"mobile_guid":"g","tests":[{"type":"expose_tamsenor_test",)"
                             R"("test_name":"onboarding"}]})",
                         kURL + "application/json " +
                             R"({"mobile_guid":"g","tests":[{"type":"tamsenor_test",)"
                             R"("test_name":"onboarding"}]})"}));
}

}  // namespace
}  // namespace tamsenor
