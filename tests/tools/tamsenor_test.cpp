#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>

#include "support/ChildProcess.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "tamsenor/Version.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using ::testing::HasSubstr;
using testsupport::ChildProcess;

std::string apiHost() { return std::string(apiBaseURL().host()); }

ChildProcess::Outcome tamsenor(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TAMSENOR_PROGRAM);
  return ChildProcess::run(arguments);
}

// A folder for the files a test hands to the program, removed with the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<int> count{0};
    path_ = std::filesystem::temp_directory_path() /
            ("tamsenor-program-test-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string write(const std::string& name, const std::string& text) const {
    const auto file = (path_ / name).string();
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

 private:
  std::filesystem::path path_;
};

constexpr const char* kTests = R"([
  {"name": "onboarding", "buckets": ["control", "variant_b"], "defaultBucket": "control"},
  {"name": "search_ranking", "buckets": ["recency", "relevance"], "defaultBucket": "recency"},
  {"name": "dark_mode", "buckets": ["off", "on"], "defaultBucket": "off"},
  {"name": "retired", "buckets": ["a", "b"], "defaultBucket": "a"}
])";

TEST(TamsenorProgramUsage, VersionAndHelp) {
  const auto version = tamsenor({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out, TamsenorAPIVersionString);
  EXPECT_EQ(version.err, "");

  const auto help = tamsenor({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* command : {"sign-in", "ab", "get", "post", "demo", "serve"}) {
    EXPECT_THAT(help.out, HasSubstr("\n  " + std::string(command) + " ")) << command;
  }
}

// Every command below talks to the program's own local service.

TEST(TamsenorProgramWithLocalService, SignInPrintsSentAndEachAttemptWithVerbose) {
  const auto run = tamsenor({"-v", "sign-in", "ada@example.org"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "{\"sent\":true}\n");
  EXPECT_EQ(run.err, "> POST " + apiBaseURL().absoluteString() + "send_sign_in_link\n< HTTP 200\n");
}

TEST(TamsenorProgramWithLocalService, SignInWithEmptyAddressFailsBeforeSending) {
  const auto run = tamsenor({"-v", "sign-in", ""});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "{\"error\":\"invalidEmail\"}\n");
  EXPECT_EQ(run.err,
            "log RemoteMagicLinkSignInService: Error sending email - Empty email string was "
            "provided\n");
}

TEST(TamsenorProgramWithLocalService, ABFetchReportsEveryStateAndLogsTestsTheServerLacks) {
  const ScratchFolder folder;
  const auto run = tamsenor(
      {"ab", "fetch", "--guid", "device-1", "--tests", folder.write("tests.json", kTests)});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, R"({"results":[{"name":"onboarding","state":"active","bucket":"variant_b"},)"
                     R"({"name":"search_ranking","state":"finished","bucket":"relevance"},)"
                     R"({"name":"dark_mode","state":"inactive"}]})"
                     "\n");
  EXPECT_EQ(run.err,
            "error fetchBucketsForTests(_:completion:) Unknown ABTest: retired not included in "
            "response\n");
}

TEST(TamsenorProgramWithLocalService, ABExposeReportsTheServersBucketAndLogsADisagreement) {
  const ScratchFolder folder;
  const auto tests = folder.write("tests.json", kTests);
  const auto disagreeing =
      tamsenor({"ab", "expose", "--guid", "device-1", "--tests", tests, "onboarding", "control"});
  EXPECT_EQ(disagreeing.exitStatus, 0);
  EXPECT_EQ(disagreeing.out,
            R"({"result":{"name":"onboarding","state":"active","bucket":"variant_b"}})"
            "\n");
  EXPECT_EQ(disagreeing.err,
            "error exposeBucket(_:forTest:completion:) Exposed incorrect ABTest variant: "
            "onboarding server exposed: variant_b, client expected: control.\n");

  const auto empty =
      tamsenor({"ab", "expose", "--guid", "device-1", "--tests", tests, "onboarding", ""});
  EXPECT_EQ(empty.exitStatus, 1);
  EXPECT_EQ(empty.out, "{\"error\":\"emptyRequest\"}\n");
  EXPECT_EQ(empty.err, "");

  const auto unknown =
      tamsenor({"ab", "expose", "--guid", "device-1", "--tests", tests, "nameless", "a"});
  EXPECT_EQ(unknown.exitStatus, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err,
            "tamsenor: no test named nameless in " + tests + " (see tamsenor --help)\n");
}

TEST(TamsenorProgramWithLocalService, GetCarriesNegativeNumbersAndAnyTextToTheService) {
  struct Case {
    std::vector<std::string> arguments;
    std::string body;
  };
  const std::vector<Case> cases{
      {{"get", "research_interests_works", "--id", "-5", "--page-size", "2", "--cursor", "3"},
       R"({"research_interest_id":-5,"works":[{"id":4,"title":"Work 4 on research interest -5"},)"
       R"({"id":5,"title":"Work 5 on research interest -5"}],"next_cursor":5})"},
      {{"get", "research_interests_search", "--query", "café & more?=/#", "--limit", "0"},
       R"({"query":"café & more?=/#","results":[]})"},
      {{"get", "research_interests_search", "--query", "", "--limit", "1"},
       R"({"query":"","results":[{"id":42,"name":"Marine biology"}]})"},
      {{"get", "taggings", "--type", "key word", "--target", "wörk", "--target-id", "-3"},
       R"({"tag_type":"key word","target_type":"wörk","target_id":-3,"taggings":[]})"},
      {{"get", "research_interests_stats", "--id", "9223372036854775807"},
       R"({"id":9223372036854775807,"works":10,"followers":128})"},
      // Leading zeros are decimal, not octal.
      {{"get", "research_interests_stats", "--id", "010"},
       R"({"id":10,"works":10,"followers":128})"},
  };
  for (const auto& c : cases) {
    const auto run = tamsenor(c.arguments);
    EXPECT_EQ(run.exitStatus, 0) << c.arguments[1];
    EXPECT_EQ(run.out, c.body) << c.arguments[1];
    EXPECT_EQ(run.err, "HTTP 200\n") << c.arguments[1];
  }
}

TEST(TamsenorProgramWithLocalService, PostPrintsAnyAnswerAndReadsDataFromAFile) {
  const auto refused = tamsenor({"post", "send_sign_in_link", "--data", R"({"email": 1})"});
  EXPECT_EQ(refused.exitStatus, 0);
  EXPECT_EQ(refused.out, R"({"error":"expected a JSON object with one string member \"email\""})");
  EXPECT_EQ(refused.err, "HTTP 400\n");

  const ScratchFolder folder;
  const auto body = folder.write("body.json", R"({"email": "ada@example.org"})");
  const auto accepted = tamsenor({"post", "send_sign_in_link", "--data", "@" + body});
  EXPECT_EQ(accepted.exitStatus, 0);
  EXPECT_EQ(accepted.out, R"({"sent_to":"ada@example.org"})");
  EXPECT_EQ(accepted.err, "HTTP 200\n");
}

TEST(TamsenorProgramWithLocalService, DemoWalksThroughEveryStepAndTheRetry) {
  const auto run = tamsenor({"demo"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  std::vector<std::string> lines;
  std::istringstream text(run.out);
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  const auto count = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  };
  EXPECT_EQ(count("   sent      "), 6);
  EXPECT_EQ(count("   sent      GET /v0/research_interests/42/stats"), 2);
  EXPECT_EQ(count("   came back 503 {\"error\":\"temporarily unavailable, try again\"}"), 1);
  EXPECT_EQ(count("   came back 200 "), 5);
  EXPECT_THAT(lines, ::testing::Contains("             {\"email\": \"ada@example.org\"}"));
  EXPECT_THAT(lines,
              ::testing::Contains("   result    onboarding: active(variant_b), "
                                  "search_ranking: finished(relevance), dark_mode: inactive"));
  EXPECT_THAT(lines, ::testing::Contains("   the service has recorded 1 exposure(s)"));
  EXPECT_EQ(lines.back(), "Every step went as expected.");
}

TEST(TamsenorProgramWithLocalService, ServeAnswersUntilTerminatedAndRemovesItsCA) {
  ChildProcess serve({TAMSENOR_PROGRAM, "serve"});
  std::vector<std::string> banner;
  for (int i = 0; i < 5; ++i) {
    const auto line = serve.readLine(std::chrono::seconds(20));
    ASSERT_TRUE(line) << "serve stopped after " << i << " lines";
    banner.push_back(*line);
  }
  const std::string listening = "listening on https://127.0.0.1:";
  ASSERT_TRUE(banner[1].starts_with(listening)) << banner[1];
  ASSERT_TRUE(banner[2].starts_with("CA file: ")) << banner[2];
  const std::string portText = banner[1].substr(listening.size());
  const auto port = static_cast<std::uint16_t>(std::stoi(portText));
  const std::string caFile = banner[2].substr(9);
  EXPECT_EQ(banner[0], "local service for " + apiBaseURL().absoluteString());
  EXPECT_EQ(banner[3], "try: curl --cacert " + caFile + " --connect-to " + apiHost() +
                           ":443:127.0.0.1:" + portText + " " + apiBaseURL().absoluteString() +
                           "research_interests/42/stats");
  EXPECT_EQ(banner[4], "stop with Ctrl-C");
  ASSERT_TRUE(std::filesystem::exists(caFile));

  {
    std::promise<HTTPClientResult> answered;  // outlives the session, which may still complete
    URLSessionConfiguration configuration;
    configuration.additionalCABundlePath = caFile;
    configuration.hostOverrides.push_back({apiHost(), 0, "127.0.0.1", port});
    auto session = URLSession::create(configuration);
    const auto client = URLSessionHTTPClient::create(session, "test");
    client->perform(URLRequest(apiBaseURL()
                                   .appendingPathComponent("research_interests")
                                   .appendingPathComponent("7")
                                   .appendingPathComponent("stats")),
                    [&](HTTPClientResult result) { answered.set_value(std::move(result)); });
    auto future = answered.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto result = future.get();
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result.value().response().statusCode(), 200);
    EXPECT_EQ(asText(result.value().body()), R"({"id":7,"works":10,"followers":128})");
  }

  ASSERT_EQ(kill(serve.pid(), SIGTERM), 0);
  const auto stopped = serve.wait(std::chrono::seconds(20));
  EXPECT_EQ(stopped.exitStatus, 0);
  EXPECT_EQ(stopped.out, "stopped by SIGTERM\n");
  EXPECT_EQ(stopped.err, "");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(caFile).parent_path()));
}

// A loopback HTTPS server for the API host whose answers each test scripts, recording what
// arrives; the program reaches it through --connect-to and --cacert.
class TamsenorProgramAgainstScriptedServer : public ::testing::Test {
 protected:
  struct Received {
    std::string method;
    std::string path;
    httplib::Headers headers;
    httplib::Params params;
    std::string body;
  };
  struct Answer {
    int status;
    std::string body;
  };
  using Script = std::function<Answer(std::size_t attempt, const httplib::Request&)>;

  static std::string headerValue(const httplib::Headers& headers, const std::string& name) {
    const auto found = headers.find(name);
    return found == headers.end() ? "(none)" : found->second;
  }

  void SetUp() override {
    const auto issued = authority_.issue(apiHost());
    server_ =
        std::make_unique<testsupport::LoopbackHTTPServer>(issued.certificateFile, issued.keyFile);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      received_.push_back(
          {request.method, request.path, request.headers, request.params, request.body});
      const auto answer = script_(received_.size() - 1, request);
      response.status = answer.status;
      response.set_content(answer.body, "application/json");
    };
    server_->server().Get(".*", handler);
    server_->server().Post(".*", handler);
    server_->start();
  }

  void script(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
  }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return std::exchange(received_, {});
  }

  ChildProcess::Outcome run(std::vector<std::string> arguments) {
    const std::vector<std::string> connect{"--connect-to",
                                           "127.0.0.1:" + std::to_string(server_->port()),
                                           "--cacert", authority_.caFile()};
    arguments.insert(arguments.begin(), connect.begin(), connect.end());
    return tamsenor(std::move(arguments));
  }

  tools::LocalCertificateAuthority authority_;
  std::unique_ptr<testsupport::LoopbackHTTPServer> server_;
  std::mutex mutex_;
  Script script_ = [](std::size_t, const httplib::Request&) { return Answer{200, "{}"}; };
  std::vector<Received> received_;
};

TEST_F(TamsenorProgramAgainstScriptedServer, UsageErrorsExitTwoWithOneLineAndSendNothing) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--retry-status", "600-500", "get", "user_terms_acceptances"},
       "--retry-status 600-500: the lower bound is above the upper one"},
      {{"--retry-status", "5xx", "get", "user_terms_acceptances"},
       "--retry-status 5xx: expected LO-HI, such as 500-599"},
      {{"--header", "NoColon", "get", "user_terms_acceptances"},
       "--header NoColon: expected \"Name: value\""},
      {{"get", "research_interests_works", "--id", "1", "--page-size", "-5"},
       "--page-size: -5 is negative, expected 0 or more"},
      {{"get", "research_interests_stats", "--id", "99999999999999999999"},
       "--id: 99999999999999999999 is out of range, expected -9223372036854775808 to "
       "9223372036854775807"},
      {{"get", "research_interests_works", "--id", "1", "--cursor", "18446744073709551616"},
       "--cursor: 18446744073709551616 is out of range, expected 0 to 18446744073709551615"},
      {{"post", "taggings_add", "--type", "t", "--target", "w", "--target-id",
        "-9223372036854775809", "--data", "{}"},
       "--target-id: -9223372036854775809 is out of range, expected -9223372036854775808 to "
       "9223372036854775807"},
      {{"--retries", "18446744073709551616", "get", "user_terms_acceptances"},
       "--retries: 18446744073709551616 is out of range, expected 0 to 18446744073709551615"},
      {{"get", "research_interests_stats", "--id", "0x10"}, "--id: 0x10 is not a decimal number"},
      {{"get", "research_interests_search", "--query", "q", "--limit", " 5"},
       "--limit:  5 is not a decimal number"},
      {{"get", "research_interests_stats", "--id", ""}, "--id: empty, expected a decimal number"},
      {{"get", "research_interests_stats", "--id", "1", "--cursor", "2"},
       "--cursor does not apply to research_interests_stats"},
      {{"get", "research_interests_stats"}, "research_interests_stats needs --id"},
      {{"post", "taggings_add", "--type", "t", "--target", "w", "--data", "{}"},
       "taggings_add needs --target-id"},
      {{"post", "send_sign_in_link"}, "--data is required"},
      {{"get", "user_terms_acceptances", "-v"}, "The following argument was not expected: -v"},
      {{"get", "works"},
       "no GET endpoint works (research_interests_works, research_interests_search, "
       "research_interests_stats, taggings, user_terms_acceptances)"},
  };
  for (const auto& [arguments, message] : cases) {
    const auto outcome = run(arguments);
    EXPECT_EQ(outcome.exitStatus, 2) << message;
    EXPECT_EQ(outcome.out, "") << message;
    EXPECT_EQ(outcome.err, "tamsenor: " + message + " (see tamsenor --help)\n");
  }
  EXPECT_EQ(received().size(), 0u);
}

TEST_F(TamsenorProgramAgainstScriptedServer, RetriesCountAttemptsOnTheServer) {
  struct Case {
    std::vector<std::string> options;
    std::vector<int> statuses;  // per attempt; the last one repeats
    std::size_t attempts;
    int finalStatus;
  };
  const std::vector<Case> cases{
      {{}, {503}, 1, 503},
      {{"--retries", "2"}, {503}, 3, 503},
      {{"--retries", "2", "--retry-status", "400-499"}, {503}, 1, 503},
      {{"--retries", "3"}, {503, 200}, 2, 200},
      {{"--retries", "4", "--retry-status", "503-503"}, {503, 503, 404}, 3, 404},
  };
  for (const auto& c : cases) {
    script([statuses = c.statuses](std::size_t attempt, const httplib::Request&) {
      return Answer{statuses[std::min(attempt, statuses.size() - 1)],
                    "attempt " + std::to_string(attempt + 1)};
    });
    auto arguments = c.options;
    arguments.insert(arguments.end(), {"get", "user_terms_acceptances"});
    const auto outcome = run(arguments);
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(received().size(), c.attempts) << ::testing::PrintToString(c.options);
    EXPECT_EQ(outcome.out, "attempt " + std::to_string(c.attempts));
    EXPECT_EQ(outcome.err, "HTTP " + std::to_string(c.finalStatus) + "\n");
  }
}

TEST_F(TamsenorProgramAgainstScriptedServer, HeadersAndUserAgentReachTheServer) {
  const auto outcome = run({"--header", "Authorization: Bearer t0k", "--header", "X-Trace: a b",
                            "--user-agent", "probe/1 (test)", "get", "user_terms_acceptances"});
  EXPECT_EQ(outcome.exitStatus, 0);
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/v0/user_terms_acceptances");
  const auto header = [&](const char* name) { return headerValue(requests[0].headers, name); };
  EXPECT_EQ(header("Authorization"), "Bearer t0k");
  EXPECT_EQ(header("X-Trace"), "a b");
  EXPECT_EQ(header("User-Agent"), "probe/1 (test)");
  EXPECT_EQ(header("Accept"), "application/json");

  EXPECT_EQ(run({"get", "user_terms_acceptances"}).exitStatus, 0);
  requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(header("User-Agent"), "tamsenor/490");
  EXPECT_EQ(header("Authorization"), "(none)");
}

TEST_F(TamsenorProgramAgainstScriptedServer, FailSigningSendsNothingAndEachCommandSaysSo) {
  const ScratchFolder folder;
  const auto get = run({"--fail-signing", "get", "user_terms_acceptances"});
  EXPECT_EQ(get.exitStatus, 1);
  EXPECT_EQ(get.out, "");
  EXPECT_EQ(get.err, "error missingRequiredAuthentication\n");

  const auto signIn = run({"--fail-signing", "sign-in", "a@b.c"});
  EXPECT_EQ(signIn.exitStatus, 1);
  EXPECT_EQ(signIn.out, "{\"error\":\"clientError\"}\n");
  EXPECT_EQ(signIn.err,
            "log RemoteMagicLinkSignInService: Failed to send email to a@b.c - HTTP Client post "
            "failed with error missingRequiredAuthentication\n");

  const auto fetch = run({"--fail-signing", "ab", "fetch", "--guid", "g", "--tests",
                          folder.write("tests.json", kTests)});
  EXPECT_EQ(fetch.exitStatus, 1);
  EXPECT_EQ(fetch.out, "{\"error\":\"networkError\"}\n");
  EXPECT_EQ(fetch.err,
            "error fetchBucketsForTests(_:completion:) HTTPClient returned error: "
            "missingRequiredAuthentication.\n");
  EXPECT_EQ(received().size(), 0u);
}

TEST_F(TamsenorProgramAgainstScriptedServer, ContentTypeGoesIntoEveryPost) {
  const auto signIn =
      run({"--content-type", "application/vnd.tamsenor+json", "sign-in", "a \"quoted\" name"});
  EXPECT_EQ(signIn.exitStatus, 0);
  EXPECT_EQ(signIn.out, "{\"sent\":true}\n");
  const auto tagging =
      run({"--content-type", "text/plain; charset=utf-8", "post", "taggings_add", "--type",
           "keyword", "--target", "work", "--target-id", "-3", "--data", "not json"});
  EXPECT_EQ(tagging.exitStatus, 0);
  EXPECT_EQ(tagging.err, "HTTP 200\n");

  const auto requests = received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/v0/send_sign_in_link");
  EXPECT_EQ(requests[0].body, R"({"email": "a \"quoted\" name"})");
  EXPECT_EQ(headerValue(requests[0].headers, "Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_EQ(headerValue(requests[0].headers, "Accept"), "application/json");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, "/v0/taggings/add");
  EXPECT_EQ(
      requests[1].params,
      (httplib::Params{{"tag_type", "keyword"}, {"target_type", "work"}, {"target_id", "-3"}}));
  EXPECT_EQ(requests[1].body, "not json");
  EXPECT_EQ(headerValue(requests[1].headers, "Content-Type"), "text/plain; charset=utf-8");
}

TEST_F(TamsenorProgramAgainstScriptedServer, RefusedAnswersAreLoggedAndReportedAsTheirCase) {
  const ScratchFolder folder;
  const auto tests = folder.write("tests.json", kTests);
  script([](std::size_t, const httplib::Request& request) {
    if (request.path == "/v0/send_sign_in_link") return Answer{201, "{}"};
    return Answer{200,
                  R"({"success":true,"tests":[)"
                  R"({"test_name":"onboarding","state":"active","selected_bucket":"purple"}]})"};
  });

  const auto signIn = run({"sign-in", "a@b.c"});
  EXPECT_EQ(signIn.exitStatus, 1);
  EXPECT_EQ(signIn.out, "{\"error\":\"clientError\"}\n");
  EXPECT_EQ(signIn.err,
            "log RemoteMagicLinkSignInService: Failed to send email to a@b.c - HTTP Client post "
            "returned statusCode 201\n");

  const auto expose =
      run({"ab", "expose", "--guid", "g", "--tests", tests, "onboarding", "control"});
  EXPECT_EQ(expose.exitStatus, 1);
  EXPECT_EQ(expose.out, "{\"error\":\"invalidResponse\"}\n");
  EXPECT_EQ(expose.err,
            "error mapRemoteResponse(_:forTest:) Invalid ABTest variant: purple onboarding\n");
  const auto requests = received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(
      requests[1].body,
      R"({"mobile_guid":"g","tests":[{"type":"expose_tamsenor_test","test_name":"onboarding"}]})");
}

TEST(TamsenorProgramTransportFailure, RefusedConnectionIsALibraryFailure) {
  const testsupport::RefusingPort refusing;
  const auto outcome = tamsenor({"--connect-to", "127.0.0.1:" + std::to_string(refusing.port()),
                                 "get", "user_terms_acceptances"});
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_THAT(outcome.err, ::testing::MatchesRegex("error networkError\\(.+\\)\n"));
}

}  // namespace
}  // namespace tamsenor
