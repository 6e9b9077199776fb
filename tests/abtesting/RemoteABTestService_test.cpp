#include "tamsenor/abtesting/RemoteABTestService.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/RecordingLogger.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace {

using tamsenor::ABTest;
using tamsenor::ABTestResponse;
using tamsenor::ABTestState;
using tamsenor::HTTPClientError;
using tamsenor::LogSeverity;
using tamsenor::URLError;
using tamsenor::testing::ScriptedHTTPClient;
using tamsenor::testsupport::RecordingLogger;
using Error = tamsenor::RemoteABTestService::Error;
using FetchResult = tamsenor::RemoteABTestService::FetchResult;
using ExposeResult = tamsenor::RemoteABTestService::ExposeResult;
using Triple = RecordingLogger::Triple;

constexpr const char* kFetch = "fetchBucketsForTests(_:completion:)";
constexpr const char* kExpose = "exposeBucket(_:forTest:completion:)";
constexpr const char* kMap = "mapRemoteResponse(_:forTest:)";
constexpr const char* kDecodeRecord =
    "Failed to decode data into successful RemoteABTestConfigResponse";

Triple error(std::string message, const char* function) {
  return {LogSeverity::error, std::move(message), function};
}
Triple warning(std::string message, const char* function) {
  return {LogSeverity::warning, std::move(message), function};
}

const ABTest kOnboarding{"onboarding", {"control", "variant_b"}, "control"};
const ABTest kPaywall{"paywall", {"monthly", "yearly"}, "monthly"};

// One answer entry, as the server writes it.
std::string entry(const std::string& name, const std::string& state,
                  std::optional<std::string> bucket = std::nullopt) {
  std::string text = R"({"test_name":")" + name + R"(","state":")" + state + '"';
  if (bucket) text += R"(,"selected_bucket":")" + *bucket + '"';
  return text + '}';
}
std::string answer(const std::vector<std::string>& entries, bool success = true) {
  std::string text = std::string(R"({"success":)") + (success ? "true" : "false") + R"(,"tests":[)";
  for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? "," : "") + entries[i];
  return text + "]}";
}

// Sets String::applicationJSON() for one test and puts the old text back.
class ContentTypeOverride {
 public:
  explicit ContentTypeOverride(std::string text) : saved_(tamsenor::String::applicationJSON()) {
    tamsenor::String::applicationJSON() = std::move(text);
  }
  ~ContentTypeOverride() { tamsenor::String::applicationJSON() = saved_; }
  ContentTypeOverride(const ContentTypeOverride&) = delete;
  ContentTypeOverride& operator=(const ContentTypeOverride&) = delete;

 private:
  std::string saved_;
};

class RemoteABTestService : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every record names the service's source file and a real line.
    EXPECT_TRUE(logger->allFrom("RemoteABTestService.cpp"));
  }

  void fetch(std::vector<ABTest> tests) {
    service->fetchBucketsForTests(std::move(tests), [this](FetchResult result) {
      recordsAtCompletion.push_back(logger->records().size());
      fetched.push_back(std::move(result));
    });
  }
  void expose(std::string bucket, ABTest test) {
    service->exposeBucket(std::move(bucket), std::move(test), [this](ExposeResult result) {
      recordsAtCompletion.push_back(logger->records().size());
      exposed.push_back(std::move(result));
    });
  }

  // The one fetch outcome; fails the test when there is not exactly one.
  const FetchResult& fetchOutcome() {
    EXPECT_EQ(fetched.size(), 1u);
    if (fetched.empty()) fetched.push_back(FetchResult::failure(Error::emptyRequest));
    return fetched.front();
  }
  const ExposeResult& exposeOutcome() {
    EXPECT_EQ(exposed.size(), 1u);
    if (exposed.empty()) exposed.push_back(ExposeResult::failure(Error::emptyRequest));
    return exposed.front();
  }
  void expectAllRecordsBeforeCompletion() {
    for (auto count : recordsAtCompletion) EXPECT_EQ(count, logger->records().size());
  }

  std::shared_ptr<ScriptedHTTPClient> client = ScriptedHTTPClient::create();
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  std::shared_ptr<tamsenor::RemoteABTestService> service =
      tamsenor::RemoteABTestService::create(client, "device-1", logger);
  std::vector<FetchResult> fetched;
  std::vector<ExposeResult> exposed;
  std::vector<std::size_t> recordsAtCompletion;
};

// ---- The error enumeration

TEST_F(RemoteABTestService, ErrorCasesKeepOrderNamesAndHashes) {
  EXPECT_EQ(static_cast<int>(Error::emptyRequest), 0);
  EXPECT_EQ(static_cast<int>(Error::invalidResponse), 3);
  EXPECT_EQ(to_string(Error::emptyRequest), "emptyRequest");
  EXPECT_EQ(to_string(Error::encodingError), "encodingError");
  EXPECT_EQ(to_string(Error::networkError), "networkError");
  EXPECT_EQ(to_string(Error::invalidResponse), "invalidResponse");
  const std::hash<Error> hash;
  EXPECT_EQ(hash(Error::networkError), hash(Error::networkError));
  EXPECT_NE(Error::networkError, Error::invalidResponse);
}

// ---- Fetching: what is sent

TEST_F(RemoteABTestService, FetchWithNoTestsCompletesAtOnceWithEmptyRequest) {
  fetch({});
  EXPECT_EQ(fetchOutcome(), FetchResult::failure(Error::emptyRequest));
  EXPECT_EQ(client->requestCount(), 0u);
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(RemoteABTestService, FetchSendsOnePOSTWithEveryTestInOrderDuplicatesIncluded) {
  fetch({kPaywall, kOnboarding, kPaywall});
  ASSERT_EQ(client->requestCount(), 1u);
  const auto request = client->request(0);
  EXPECT_EQ(request.url().absoluteString(), "https://api.tamsenor.com/v0/mobile_app_ab_test");
  EXPECT_EQ(request.httpMethod(), "POST");
  EXPECT_EQ(request.value("Content-Type"), "application/json");
  EXPECT_EQ(request.allHTTPHeaderFields().size(), 1u);
  EXPECT_EQ(request.cachePolicy(), tamsenor::URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  EXPECT_EQ(request.timeoutInterval(), 60.0);
  ASSERT_TRUE(request.httpBody().has_value());
  EXPECT_EQ(tamsenor::asText(*request.httpBody()),
            R"({"mobile_guid":"device-1","tests":[{"type":"tamsenor_test","test_name":"paywall"},)"
            R"({"type":"tamsenor_test","test_name":"onboarding"},)"
            R"({"type":"tamsenor_test","test_name":"paywall"}]})");
  EXPECT_TRUE(fetched.empty());  // nothing answered yet
}

TEST_F(RemoteABTestService, ContentTypeIsApplicationJSONAsItStandsAtEachCall) {
  {
    ContentTypeOverride override("application/vnd.tamsenor+json");
    fetch({kOnboarding});
    expose("control", kOnboarding);
  }
  fetch({kOnboarding});
  ASSERT_EQ(client->requestCount(), 3u);
  EXPECT_EQ(client->request(0).value("Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_EQ(client->request(1).value("Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_EQ(client->request(2).value("Content-Type"), "application/json");
}

TEST_F(RemoteABTestService, FetchOfANameThatIsNotUTF8CompletesAtOnceWithEncodingError) {
  fetch({kOnboarding, ABTest{"bad\xff", {"a"}, "a"}});
  EXPECT_EQ(fetchOutcome(), FetchResult::failure(Error::encodingError));
  EXPECT_EQ(client->requestCount(), 0u);
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(RemoteABTestService, AServiceWithAnEmptyGuidSendsItEmpty) {
  service = tamsenor::RemoteABTestService::create(client, "", logger);
  expose("a", ABTest{"", {"a"}, "a"});
  EXPECT_EQ(tamsenor::asText(*client->request(0).httpBody()),
            R"({"mobile_guid":"","tests":[{"type":"expose_tamsenor_test","test_name":""}]})");
}

// ---- Fetching: the failure table, one row each

struct FetchFailureRow {
  std::string name;
  std::function<void(ScriptedHTTPClient&)> script;
  Error expected;
  std::vector<Triple> records;
};

void PrintTo(const FetchFailureRow& row, std::ostream* out) { *out << row.name; }

class RemoteABTestServiceFetchFailures : public RemoteABTestService,
                                         public ::testing::WithParamInterface<FetchFailureRow> {};

TEST_P(RemoteABTestServiceFetchFailures, LogsTheRowsRecordsThenFails) {
  GetParam().script(*client);
  fetch({kOnboarding, kPaywall});
  EXPECT_EQ(fetchOutcome(), FetchResult::failure(GetParam().expected));
  EXPECT_EQ(logger->triples(), GetParam().records);
  expectAllRecordsBeforeCompletion();
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteABTestServiceFetchFailures,
    ::testing::Values(
        FetchFailureRow{"TransportErrorIsAWarningWithItsDescription",
                        [](auto& c) {
                          c.failNext(HTTPClientError::networkError(
                              URLError(28, "Operation timed out after 60000 milliseconds")));
                        },
                        Error::networkError,
                        {warning("HTTPClient returned networkError: Operation timed out after "
                                 "60000 milliseconds.",
                                 kFetch)}},
        FetchFailureRow{"UnexpectedResponseType",
                        [](auto& c) { c.failNext(HTTPClientError::unexpectedResponseType()); },
                        Error::networkError,
                        {error("HTTPClient returned error: unexpectedResponseType.", kFetch)}},
        FetchFailureRow{
            "MissingRequiredAuthentication",
            [](auto& c) { c.failNext(HTTPClientError::missingRequiredAuthentication()); },
            Error::networkError,
            {error("HTTPClient returned error: missingRequiredAuthentication.", kFetch)}},
        FetchFailureRow{
            "Status201",
            [](auto& c) {
              c.answerNext(201, answer({entry("onboarding", "inactive", "control")}));
            },
            Error::networkError,
            {error("Network Error: Server responded with bad status code:201", kFetch)}},
        FetchFailureRow{
            "Status204",
            [](auto& c) { c.answerNext(204); },
            Error::networkError,
            {error("Network Error: Server responded with bad status code:204", kFetch)}},
        FetchFailureRow{
            "Status500",
            [](auto& c) { c.answerNext(500, "{}"); },
            Error::networkError,
            {error("Network Error: Server responded with bad status code:500", kFetch)}},
        FetchFailureRow{"BodyNotDecodable",
                        [](auto& c) { c.answerNext(200, "<html>"); },
                        Error::invalidResponse,
                        {error(kDecodeRecord, kFetch)}},
        FetchFailureRow{"SuccessFalseEvenWithCompleteTests",
                        [](auto& c) {
                          c.answerNext(200, answer({entry("onboarding", "inactive", "control"),
                                                    entry("paywall", "inactive", "monthly")},
                                                   false));
                        },
                        Error::invalidResponse,
                        {error(kDecodeRecord, kFetch)}},
        FetchFailureRow{"NoTestsAnsweredLogsEachMissingOne",
                        [](auto& c) { c.answerNext(200, answer({})); },
                        Error::invalidResponse,
                        {error("Unknown ABTest: onboarding not included in response", kFetch),
                         error("Unknown ABTest: paywall not included in response", kFetch)}},
        FetchFailureRow{
            "EveryAnswerRejectedByTheMapping",
            [](auto& c) {
              c.answerNext(200, answer({entry("paywall", "active"),
                                        entry("onboarding", "finished", "Control")}));
            },
            Error::invalidResponse,
            {error("Invalid ABTest variant: Control onboarding", kMap),
             error("Invalid Response from server: paywall was marked as active but did not "
                   "specify a selected bucket.",
                   kMap)}}),
    [](const auto& row) { return row.param.name; });

// ---- Fetching: results

TEST_F(RemoteABTestService, FetchKeepsTheUsableResultsAndLogsTheRejectedOne) {
  client->answerNext(200, answer({entry("onboarding", "active", "variant_b"),
                                  entry("paywall", "active", "weekly")}));
  fetch({kOnboarding, kPaywall});
  EXPECT_EQ(fetchOutcome(),
            FetchResult::success({{"onboarding", ABTestState::active("variant_b")}}));
  EXPECT_EQ(logger->triples(),
            (std::vector<Triple>{error("Invalid ABTest variant: weekly paywall", kMap)}));
  expectAllRecordsBeforeCompletion();
}

TEST_F(RemoteABTestService, MissingTestsAreAllLoggedBeforeAnyMappingRecord) {
  const ABTest a{"a", {"x"}, "x"}, b{"b", {"x"}, "x"}, c{"c", {"x"}, "x"}, d{"d", {"x"}, "x"};
  client->answerNext(200, answer({entry("d", "finished", "x"), entry("b", "inactive", "y")}));
  fetch({a, b, c, d});
  EXPECT_EQ(fetchOutcome(), FetchResult::success({{"b", ABTestState::inactive()},
                                                  {"d", ABTestState::finished("x")}}));
  EXPECT_EQ(logger->triples(),
            (std::vector<Triple>{
                error("Unknown ABTest: a not included in response", kFetch),
                error("Unknown ABTest: c not included in response", kFetch),
                error("Mismatched ABTest default: b local default: x server default: y", kMap)}));
}

TEST_F(RemoteABTestService, ResultsFollowTheRequestOrderNotTheAnswers) {
  client->answerNext(
      200, answer({entry("paywall", "finished", "yearly"), entry("unrequested", "active", "z"),
                   entry("onboarding", "inactive", "control")}));
  fetch({kOnboarding, kPaywall});
  EXPECT_EQ(fetchOutcome(), FetchResult::success({{"onboarding", ABTestState::inactive()},
                                                  {"paywall", ABTestState::finished("yearly")}}));
  EXPECT_TRUE(logger->records().empty());  // the unrequested entry is ignored silently
}

TEST_F(RemoteABTestService, EachTestUsesTheFirstAnswerEntryOfExactlyItsName) {
  struct Row {
    std::vector<std::string> entries;
    std::vector<ABTest> tests;
    FetchResult expected;
    std::vector<Triple> records;
  };
  const ABTest blank{"", {"x"}, "x"};
  std::vector<Row> rows{
      {{entry("onboarding", "active", "unknown"), entry("onboarding", "active", "control")},
       {kOnboarding},
       FetchResult::failure(Error::invalidResponse),
       {error("Invalid ABTest variant: unknown onboarding", kMap)}},
      {{entry("onboarding", "active", "variant_b"), entry("paywall", "finished", "yearly"),
        entry("onboarding", "active", "unknown"), entry("paywall", "active", "weekly")},
       {kPaywall, kOnboarding},
       FetchResult::success({{"paywall", ABTestState::finished("yearly")},
                             {"onboarding", ABTestState::active("variant_b")}}),
       {}},
      // Names that differ in case or only by a prefix or suffix are other tests.
      {{entry("Onboarding", "active", "unknown"), entry("onboardinf", "active", "unknown"),
        entry("onboarding_b", "active", "unknown"), entry("onboard", "active", "unknown"),
        entry("onboarding", "inactive", "control")},
       {kOnboarding},
       FetchResult::success({{"onboarding", ABTestState::inactive()}}),
       {}},
      {{entry("onboarding", "active", "control")},
       {kPaywall, kOnboarding},
       FetchResult::success({{"onboarding", ABTestState::active("control")}}),
       {error("Unknown ABTest: paywall not included in response", kFetch)}},
      {{entry("a", "active", "x"), entry("", "active", "x"), entry("", "active", "y")},
       {blank},
       FetchResult::success({{"", ABTestState::active("x")}}),
       {}},
  };
  // Many repeated names, each first answered with a known bucket and later with an unknown one:
  // 75 entries, enough that sorting them partitions, so ties must keep the answer's order.
  Row many{{}, {}, FetchResult::failure(Error::emptyRequest), {}};
  std::vector<ABTestResponse> expected;
  for (int round = 0; round < 3; ++round) {
    for (int i = 24; i >= 0; --i) {
      const auto name = "t" + std::to_string(i * 7 % 25);
      many.entries.push_back(entry(name, "active", round == 0 ? "x" : "unknown"));
      if (round == 0) {
        many.tests.push_back({name, {"x"}, "x"});
        expected.push_back({name, ABTestState::active("x")});
      }
    }
  }
  many.expected = FetchResult::success(std::move(expected));
  rows.push_back(std::move(many));
  for (const auto& row : rows) {
    auto rowClient = ScriptedHTTPClient::create();
    auto rowLogger = std::make_shared<RecordingLogger>();
    auto rowService = tamsenor::RemoteABTestService::create(rowClient, "device-1", rowLogger);
    rowClient->answerNext(200, answer(row.entries));
    std::vector<FetchResult> outcomes;
    rowService->fetchBucketsForTests(row.tests,
                                     [&](FetchResult result) { outcomes.push_back(result); });
    EXPECT_EQ(outcomes, std::vector<FetchResult>{row.expected}) << answer(row.entries);
    EXPECT_EQ(rowLogger->triples(), row.records) << answer(row.entries);
  }
}

TEST_F(RemoteABTestService, ATestRequestedTwiceGetsTwoResultsFromTheSameEntry) {
  client->answerNext(200, answer({entry("onboarding", "active", "variant_b"),
                                  entry("onboarding", "active", "control")}));
  fetch({kOnboarding, kOnboarding});
  const ABTestResponse result{"onboarding", ABTestState::active("variant_b")};
  EXPECT_EQ(fetchOutcome(), FetchResult::success({result, result}));
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(RemoteABTestService, AnAnswerArrivingLaterCompletesOnceThen) {
  fetch({kOnboarding});
  EXPECT_TRUE(fetched.empty());
  ASSERT_TRUE(client->respond(0, 200, answer({entry("onboarding", "inactive", "control")})));
  EXPECT_EQ(fetchOutcome(), FetchResult::success({{"onboarding", ABTestState::inactive()}}));
}

TEST_F(RemoteABTestService, ChangingTheCallersTestsAfterTheCallChangesNothing) {
  std::vector<ABTest> tests{kOnboarding};
  service->fetchBucketsForTests(tests, [this](FetchResult r) { fetched.push_back(std::move(r)); });
  tests[0].buckets.clear();
  tests[0].name = "renamed";
  client->respond(0, 200, answer({entry("onboarding", "active", "control")}));
  EXPECT_EQ(fetchOutcome(), FetchResult::success({{"onboarding", ABTestState::active("control")}}));
}

// ---- Lifetimes

TEST_F(RemoteABTestService, AReleasedServiceNeverCompletesNorLogs) {
  fetch({kOnboarding});
  expose("control", kOnboarding);
  const std::weak_ptr<tamsenor::RemoteABTestService> weak = service;
  service.reset();
  EXPECT_TRUE(weak.expired());  // the requests in flight do not keep it alive
  ASSERT_TRUE(client->respond(0, 200, answer({entry("onboarding", "active", "control")})));
  ASSERT_TRUE(client->fail(1, HTTPClientError::unexpectedResponseType()));
  EXPECT_TRUE(fetched.empty());
  EXPECT_TRUE(exposed.empty());
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(RemoteABTestService, ADroppedRequestReleasesTheCallersCompletion) {
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = token;
  service->fetchBucketsForTests({kOnboarding}, [token](FetchResult) {});
  token.reset();
  EXPECT_FALSE(watch.expired());
  client->drop(0);
  EXPECT_TRUE(watch.expired());
}

// ---- Exposure: what is sent

TEST_F(RemoteABTestService, ExposeWithAnEmptyBucketCompletesAtOnceWithEmptyRequest) {
  expose("", kOnboarding);
  expose("", ABTest{"bad\xff", {}, ""});
  ASSERT_EQ(exposed.size(), 2u);
  EXPECT_EQ(exposed[0], ExposeResult::failure(Error::emptyRequest));
  EXPECT_EQ(exposed[1], ExposeResult::failure(Error::emptyRequest));
  EXPECT_EQ(client->requestCount(), 0u);
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(RemoteABTestService, ExposeSendsTheTestNameButNeverTheBucket) {
  expose("control", kOnboarding);
  expose("not_a_bucket_of_it", kOnboarding);
  ASSERT_EQ(client->requestCount(), 2u);
  const char* body =
      R"({"mobile_guid":"device-1","tests":[{"type":"expose_tamsenor_test","test_name":"onboarding"}]})";
  for (std::size_t i = 0; i < 2; ++i) {
    const auto request = client->request(i);
    EXPECT_EQ(request.url().absoluteString(), "https://api.tamsenor.com/v0/mobile_app_ab_test");
    EXPECT_EQ(request.httpMethod(), "POST");
    EXPECT_EQ(request.value("Content-Type"), "application/json");
    EXPECT_EQ(tamsenor::asText(*request.httpBody()), body);
  }
}

TEST_F(RemoteABTestService, ExposeOfAGuidThatIsNotUTF8CompletesAtOnceWithEncodingError) {
  service = tamsenor::RemoteABTestService::create(client, "\xc0\xaf", logger);
  expose("control", kOnboarding);
  EXPECT_EQ(exposeOutcome(), ExposeResult::failure(Error::encodingError));
  EXPECT_EQ(client->requestCount(), 0u);
  EXPECT_TRUE(logger->records().empty());
}

// ---- Exposure: the failure table and the comparison

struct ExposeRow {
  std::string name;
  std::function<void(ScriptedHTTPClient&)> script;
  std::string exposedBucket;
  ExposeResult expected;
  std::vector<Triple> records;
};

void PrintTo(const ExposeRow& row, std::ostream* out) { *out << row.name; }

class RemoteABTestServiceExposure : public RemoteABTestService,
                                    public ::testing::WithParamInterface<ExposeRow> {};

TEST_P(RemoteABTestServiceExposure, LogsTheRowsRecordsThenCompletes) {
  GetParam().script(*client);
  expose(GetParam().exposedBucket, kOnboarding);
  EXPECT_EQ(exposeOutcome(), GetParam().expected);
  EXPECT_EQ(logger->triples(), GetParam().records);
  expectAllRecordsBeforeCompletion();
}

ExposeRow failing(std::string name, std::function<void(ScriptedHTTPClient&)> script, Error error,
                  std::vector<Triple> records) {
  return {std::move(name), std::move(script), "control", ExposeResult::failure(error),
          std::move(records)};
}
ExposeRow answered(std::string name, std::string body, std::string bucket, ExposeResult expected,
                   std::vector<Triple> records) {
  return {std::move(name), [body](auto& c) { c.answerNext(200, body); }, std::move(bucket),
          std::move(expected), std::move(records)};
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, RemoteABTestServiceExposure,
    ::testing::Values(
        failing("TransportErrorIsAWarningWithItsDescription",
                [](auto& c) {
                  c.failNext(HTTPClientError::networkError(URLError(6, "Could not resolve host")));
                },
                Error::networkError,
                {warning("HTTPClient returned networkError: Could not resolve host.", kExpose)}),
        failing("UnexpectedResponseType",
                [](auto& c) { c.failNext(HTTPClientError::unexpectedResponseType()); },
                Error::networkError,
                {error("HTTPClient returned error: unexpectedResponseType.", kExpose)}),
        failing("MissingRequiredAuthentication",
                [](auto& c) { c.failNext(HTTPClientError::missingRequiredAuthentication()); },
                Error::networkError,
                {error("HTTPClient returned error: missingRequiredAuthentication.", kExpose)}),
        failing("Status201IsSilent",
                [](auto& c) {
                  c.answerNext(201, answer({entry("onboarding", "active", "control")}));
                },
                Error::networkError, {}),
        failing("Status204IsSilent", [](auto& c) { c.answerNext(204); }, Error::networkError, {}),
        failing("BodyNotDecodable", [](auto& c) { c.answerNext(200, "[]"); },
                Error::invalidResponse, {error(kDecodeRecord, kExpose)}),
        failing("SuccessFalse",
                [](auto& c) {
                  c.answerNext(200, answer({entry("onboarding", "active", "control")}, false));
                },
                Error::invalidResponse, {error(kDecodeRecord, kExpose)}),
        failing("NoTestsAtAllIsTheDecodeRecord", [](auto& c) { c.answerNext(200, answer({})); },
                Error::invalidResponse, {error(kDecodeRecord, kExpose)}),
        failing("OnlyOtherTestsAnswered",
                [](auto& c) {
                  c.answerNext(200, answer({entry("paywall", "active", "monthly"),
                                            entry("Onboarding", "active", "control")}));
                },
                Error::invalidResponse,
                {error("Invalid Response from server: onboarding returned no matching response.",
                       kExpose)}),
        failing("OutsideTheTestsBucketsIsTheMappingsRecordOnly",
                [](auto& c) {
                  c.answerNext(200, answer({entry("onboarding", "active", "other")}));
                },
                Error::invalidResponse, {error("Invalid ABTest variant: other onboarding", kMap)}),
        failing("OnlyTheFirstEntryCountsEvenWhenTheSecondWouldMap",
                [](auto& c) {
                  c.answerNext(200, answer({entry("onboarding", "finished"),
                                            entry("onboarding", "finished", "control")}));
                },
                Error::invalidResponse,
                {error("Invalid Response from server: onboarding was marked as finished but did "
                       "not specify a selected bucket.",
                       kMap)})),
    [](const auto& row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Comparison, RemoteABTestServiceExposure,
    ::testing::Values(
        answered("ServerActiveInAnotherBucketIsLoggedButSucceeds",
                 answer({entry("onboarding", "active", "variant_b")}), "control",
                 ExposeResult::success({"onboarding", ABTestState::active("variant_b")}),
                 {error("Exposed incorrect ABTest variant: onboarding server exposed: variant_b, "
                        "client expected: control.",
                        kExpose)}),
        answered("ServerActiveInTheExposedBucket",
                 answer({entry("paywall", "inactive"), entry("onboarding", "active", "control")}),
                 "control", ExposeResult::success({"onboarding", ABTestState::active("control")}),
                 {}),
        answered("FinishedIsNotCompared", answer({entry("onboarding", "finished", "variant_b")}),
                 "control",
                 ExposeResult::success({"onboarding", ABTestState::finished("variant_b")}), {}),
        answered("InactiveIsNotCompared", answer({entry("onboarding", "inactive", "control")}),
                 "variant_b", ExposeResult::success({"onboarding", ABTestState::inactive()}), {}),
        answered("ABucketOutsideTheTestIsReportedAllTheSame",
                 answer({entry("onboarding", "active", "variant_b")}), "retired_bucket",
                 ExposeResult::success({"onboarding", ABTestState::active("variant_b")}),
                 {error("Exposed incorrect ABTest variant: onboarding server exposed: variant_b, "
                        "client expected: retired_bucket.",
                        kExpose)})),
    [](const auto& row) { return row.param.name; });

// ---- The mapping decision table, every row, seen through an exposure of the test

struct MappingRow {
  std::string name;
  std::string state;
  std::optional<std::string> selectedBucket;
  ABTest test;
  std::optional<ABTestState> result;  // nothing: rejected
  std::vector<Triple> records;
};

void PrintTo(const MappingRow& row, std::ostream* out) { *out << row.name; }

class RemoteABTestServiceMapping : public RemoteABTestService,
                                   public ::testing::WithParamInterface<MappingRow> {};

TEST_P(RemoteABTestServiceMapping, GivesTheRowsResultAndRecord) {
  const auto& row = GetParam();
  client->answerNext(200, answer({entry(row.test.name, row.state, row.selectedBucket)}));
  // Exposing the server's own bucket keeps the exposure's comparison out of the picture.
  expose(row.selectedBucket.value_or("any").empty() ? "any" : row.selectedBucket.value_or("any"),
         row.test);
  if (row.result) {
    EXPECT_EQ(exposeOutcome(), ExposeResult::success({row.test.name, *row.result}));
  } else {
    EXPECT_EQ(exposeOutcome(), ExposeResult::failure(Error::invalidResponse));
  }
  EXPECT_EQ(logger->triples(), row.records);
}

const ABTest kColors{"colors", {"red", "green", "red"}, "blue"};

INSTANTIATE_TEST_SUITE_P(
    DecisionTable, RemoteABTestServiceMapping,
    ::testing::Values(
        MappingRow{
            "InactiveWithTheDefault", "inactive", "blue", kColors, ABTestState::inactive(), {}},
        MappingRow{"InactiveWithAnotherDefault",
                   "inactive",
                   "red",
                   kColors,
                   ABTestState::inactive(),
                   {error("Mismatched ABTest default: colors local default: blue server "
                          "default: red",
                          kMap)}},
        MappingRow{"InactiveWithoutBucket",
                   "inactive",
                   std::nullopt,
                   kColors,
                   std::nullopt,
                   {error("Unknown ABTest: colors is not present on the server", kMap)}},
        MappingRow{"ActiveWithoutBucket",
                   "active",
                   std::nullopt,
                   kColors,
                   std::nullopt,
                   {error("Invalid Response from server: colors was marked as active but did "
                          "not specify a selected bucket.",
                          kMap)}},
        MappingRow{
            "ActiveInTheBuckets", "active", "green", kColors, ABTestState::active("green"), {}},
        MappingRow{"ActiveOutsideTheBuckets",
                   "active",
                   "blue",
                   kColors,
                   std::nullopt,
                   {error("Invalid ABTest variant: blue colors", kMap)}},
        MappingRow{"FinishedWithoutBucket",
                   "finished",
                   std::nullopt,
                   kColors,
                   std::nullopt,
                   {error("Invalid Response from server: colors was marked as finished but did "
                          "not specify a selected bucket.",
                          kMap)}},
        MappingRow{
            "FinishedInTheBuckets", "finished", "red", kColors, ABTestState::finished("red"), {}},
        MappingRow{"FinishedOutsideTheBuckets",
                   "finished",
                   "Red",
                   kColors,
                   std::nullopt,
                   {error("Invalid ABTest variant: Red colors", kMap)}}),
    [](const auto& row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, RemoteABTestServiceMapping,
    ::testing::Values(
        MappingRow{"NoBucketsRejectsActive",
                   "active",
                   "a",
                   ABTest{"t", {}, "a"},
                   std::nullopt,
                   {error("Invalid ABTest variant: a t", kMap)}},
        MappingRow{"NoBucketsRejectsFinished",
                   "finished",
                   "a",
                   ABTest{"t", {}, "a"},
                   std::nullopt,
                   {error("Invalid ABTest variant: a t", kMap)}},
        MappingRow{"EmptyBucketIsAcceptedWhenListed",
                   "active",
                   "",
                   ABTest{"t", {"x", ""}, "x"},
                   ABTestState::active(""),
                   {error("Exposed incorrect ABTest variant: t server "
                          "exposed: , client expected: any.",
                          kExpose)}},
        MappingRow{"EmptyBucketIsRejectedOtherwise",
                   "finished",
                   "",
                   ABTest{"t", {"x"}, ""},
                   std::nullopt,
                   {error("Invalid ABTest variant:  t", kMap)}},
        MappingRow{"EmptyBucketIsComparedWithTheDefault",
                   "inactive",
                   "",
                   ABTest{"t", {"x"}, "x"},
                   ABTestState::inactive(),
                   {error("Mismatched ABTest default: t local default: x server default: ", kMap)}},
        MappingRow{"NoTrimming",
                   "active",
                   "x ",
                   ABTest{"t", {"x"}, "x"},
                   std::nullopt,
                   {error("Invalid ABTest variant: x  t", kMap)}}),
    [](const auto& row) { return row.param.name; });

}  // namespace
