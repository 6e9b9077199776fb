// The tamsenor program as a child process, call after call: "<exit status> $ <arguments> ! <first
// line of standard error>", the next ones after "! ", then standard output ("%" ends a last line
// without a line feed; one that starts with "..." is compared on the lines it lists only). Words
// split on spaces outside '...'; $TMP is the test's folder. "@503,200" first sends the program to a
// loopback server for the API host answering those statuses in turn (the last one again and again)
// with the attempt's number and what arrived; "@closed" to a closed port; otherwise it uses its own
// service. Ports, random names and the transport's words (tested elsewhere) are masked.
#include <gtest/gtest.h>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "support/ChildProcess.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {

constexpr const char* kCalls = R"(
2 $ get research_interests_stats --id 99999999999999999999 ! tamsenor: --id: 99999999999999999999 is out of range, expected -9223372036854775808 to 9223372036854775807 (see tamsenor --help)
2 $ serve --port 65536 ! tamsenor: --port: 65536 is out of range, expected 0 to 65535 (see tamsenor --help)
2 $ get research_interests_works --id 1 --page-size -5 ! tamsenor: --page-size: -5 is negative, expected 0 or more (see tamsenor --help)
2 $ get research_interests_search --query q --limit 0x10 ! tamsenor: --limit: 0x10 is not a decimal number (see tamsenor --help)
2 $ post taggings_add --type t --target w --target-id '' --data {} ! tamsenor: --target-id: empty, expected a decimal number (see tamsenor --help)
2 $ --retry-status 600-500 demo ! tamsenor: --retry-status 600-500: the lower bound is above the upper one (see tamsenor --help)
2 $ --retry-status 5xx demo ! tamsenor: --retry-status 5xx: expected LO-HI, such as 500-599 (see tamsenor --help)
2 $ --header NoColon demo ! tamsenor: --header NoColon: expected "Name: value" (see tamsenor --help)
2 $ --connect-to x demo ! tamsenor: --connect-to x: expected HOST:PORT (see tamsenor --help)
2 $ --connect-to h:65536 demo ! tamsenor: --connect-to port: 65536 is not a number in range (see tamsenor --help)
2 $ --connect-to h:1 serve ! tamsenor: --connect-to does not apply to demo and serve (see tamsenor --help)
2 $ get research_interests_stats --id 1 --cursor 2 ! tamsenor: --cursor does not apply to research_interests_stats (see tamsenor --help)
2 $ get research_interests_stats ! tamsenor: research_interests_stats needs --id (see tamsenor --help)
2 $ get works ! tamsenor: no GET endpoint works (research_interests_works, research_interests_search, research_interests_stats, taggings, user_terms_acceptances) (see tamsenor --help)
2 $ post send_sign_in_link --target w --data {} ! tamsenor: --type, --target and --target-id do not apply to send_sign_in_link (see tamsenor --help)
2 $ post send_sign_in_link --data @$TMP/none.json ! tamsenor: cannot read $TMP/none.json (see tamsenor --help)
2 $ ab fetch --guid g --tests $TMP/email.json ! tamsenor: $TMP/email.json is not a JSON array of {"name", "buckets", "defaultBucket"} objects (see tamsenor --help)
2 $ ab expose --guid g --tests $TMP/tests.json nameless a ! tamsenor: no test named nameless in $TMP/tests.json (see tamsenor --help)
0 $ -v sign-in ada@example.org ! > POST https://$HOST/v0/send_sign_in_link
! < HTTP 200
{"sent":true}
0 $ ab fetch --guid d --tests $TMP/tests.json
{"results":[{"name":"onboarding","state":"active","bucket":"variant_b"}]}
0 $ ab expose --guid d --tests $TMP/tests.json onboarding control ! error exposeBucket(_:forTest:completion:) Exposed incorrect ABTest variant: onboarding server exposed: variant_b, client expected: control.
{"result":{"name":"onboarding","state":"active","bucket":"variant_b"}}
1 $ --fail-signing ab fetch --guid d --tests $TMP/tests.json ! error fetchBucketsForTests(_:completion:) HTTPClient returned error: missingRequiredAuthentication.
{"error":"networkError"}
1 $ --fail-signing ab expose --guid d --tests $TMP/tests.json onboarding control ! error exposeBucket(_:forTest:completion:) HTTPClient returned error: missingRequiredAuthentication.
{"error":"networkError"}
0 $ get research_interests_works --id 010 --page-size 1 --cursor 3 ! HTTP 200
{"research_interest_id":10,"works":[{"id":4,"title":"Work 4 on research interest 10"}],"next_cursor":4}%
0 $ get taggings --type 'key word' --target 'wörk?=/#' --target-id -3 ! HTTP 200
{"tag_type":"key word","target_type":"wörk?=/#","target_id":-3,"taggings":[]}%
0 $ post send_sign_in_link --data @$TMP/email.json ! HTTP 200
{"sent_to":"ada@example.org"}%
0 $ demo
...
   sent      POST /v0/send_sign_in_link
             {"email": "ada@example.org"}
   sent      POST /v0/mobile_app_ab_test
   result    onboarding: active(variant_b), search_ranking: finished(relevance), dark_mode: inactive
   sent      POST /v0/mobile_app_ab_test
   the service has recorded 1 exposure(s)
   sent      GET /v0/research_interests/42/works?page_size=3
   sent      GET /v0/research_interests/42/stats
   came back 503 {"error":"temporarily unavailable, try again"}
   sent      GET /v0/research_interests/42/stats
Every step went as expected.
0 $ serve
local service for https://$HOST/v0/
listening on https://127.0.0.1:PORT
CA file: $TMP/run/tamsenor-ca-X/ca.pem
try: curl --cacert $TMP/run/tamsenor-ca-X/ca.pem --connect-to $HOST:443:127.0.0.1:PORT https://$HOST/v0/research_interests/42/stats
stop with Ctrl-C
stopped by SIGTERM
0 $ serve --json
{"url":"https://127.0.0.1:PORT","caFile":"$TMP/run/tamsenor-ca-X/ca.pem","apiBaseURL":"https://$HOST/v0/"}
0 $ @503,503,404,503 --retries 4 --retry-status 503-503 get research_interests_search --query 'café & more?=/#' --limit 1 ! HTTP 404
3 GET /v0/research_interests/search?q=caf%C3%A9%20%26%20more%3F%3D%2F%23&limit=1 [Accept-Encoding: deflate, gzip, br, zstd] [User-Agent: tamsenor/490]
0 $ @503 --header 'Authorization: Bearer t0k' --header 'X-Trace:  a b' --user-agent 'probe/1 (test)' --content-type 'text/plain; charset=utf-8' post taggings_add --type keyword --target work --target-id -3 --data 'not json' ! HTTP 503
1 POST /v0/taggings/add?tag_type=keyword&target_type=work&target_id=-3 [Accept-Encoding: deflate, gzip, br, zstd] [Authorization: Bearer t0k] [Content-Type: text/plain; charset=utf-8] [User-Agent: probe/1 (test)] [X-Trace: a b] not json
0 $ @200 --no-compression get research_interests_stats --id 2 ! HTTP 200
1 GET /v0/research_interests/2/stats [User-Agent: tamsenor/490]
2 $ --pin api=sha256/abc demo ! tamsenor: --pin api=sha256/abc: expected HOST=sha256/BASE64, the base64 of a 32-byte SHA-256 hash (see tamsenor --help)
1 $ @201 sign-in a@b.c ! log RemoteMagicLinkSignInService: Failed to send email to a@b.c - HTTP Client post returned statusCode 201
{"error":"clientError"}
1 $ @closed -v get research_interests_stats --id 7 ! > GET https://$HOST/v0/research_interests/7/stats
! < error networkError(...)
! error networkError(...)
)";

TEST(TamsenorProgram, EachCallPrintsAndExitsAsShown) {
  tools::LocalCertificateAuthority authority;
  const auto issued = authority.issue(std::string(apiBaseURL().host()));
  const auto folder = authority.folder().string();
  std::vector<std::string> calls;
  std::istringstream lines(std::regex_replace(kCalls, std::regex(R"(\$TMP)"), folder));
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, std::regex(R"(^\d+ \$ )"))) calls.emplace_back();
    if (!calls.empty()) calls.back() += line + "\n";
  }
  std::filesystem::create_directory(folder + "/run");
  std::ofstream(folder + "/email.json") << R"({"email": "ada@example.org"})";
  std::ofstream(folder + "/tests.json")
      << R"([{"name": "onboarding", "buckets": ["control", "variant_b"], "defaultBucket": "control"}])";
  const auto masked = [&](std::string text, const std::string& only) {
    if (!text.empty() && !text.ends_with('\n')) text += "%\n";
    for (const auto& [pattern, by] :
         {std::pair<std::string, std::string>{std::string(apiBaseURL().host()), "$$HOST"},
          {R"(127\.0\.0\.1:\d+)", "127.0.0.1:PORT"},
          {R"(/run/tamsenor-ca-\w+)", "/run/tamsenor-ca-X"},
          {R"(networkError\(.*\))", "networkError(...)"}})
      text = std::regex_replace(text, std::regex(pattern), by);
    if (only.find("\n...\n") == std::string::npos) return text;
    std::string kept = "...\n";
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (only.find("\n" + line + "\n") != std::string::npos) kept += line + "\n";
    return kept;
  };

  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  const testsupport::RefusingPort closed;
  std::mutex mutex;
  std::vector<int> statuses;
  std::size_t attempts = 0;
  const auto answer = [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    response.status = statuses[std::min(attempts++, statuses.size() - 1)];
    std::string body = std::to_string(attempts) + " " + request.method + " " + request.target;
    for (const std::string key :
         {"Accept-Encoding", "Authorization", "Content-Type", "User-Agent", "X-Trace"})
      if (request.has_header(key)) body += " [" + key + ": " + request.get_header_value(key) + "]";
    response.set_content(body + (request.body.empty() ? "" : " ") + request.body + "\n",
                         "text/plain");
  };
  server.server().Get(".*", answer).Post(".*", answer);
  server.start();

  const std::regex word(R"('([^']*)'|(\S+))");
  for (const auto& call : calls) {
    const auto command =
        std::regex_replace(call.substr(0, call.find('\n')), std::regex(R"(^\d+ \$ | ! .*)"), "");
    std::vector<std::string> argv{TAMSENOR_PROGRAM};
    for (std::sregex_token_iterator it(command.begin(), command.end(), word, {1, 2}), end;
         it != end; ++it) {
      if (it->matched) argv.push_back(*it);
    }
    if (argv[1].starts_with('@')) {
      std::lock_guard lock(mutex);
      statuses.clear(), attempts = 0;
      std::istringstream list(std::regex_replace(argv[1], std::regex("[@,]"), " "));
      for (int status = 0; list >> status;) statuses.push_back(status);
      argv[1] = "127.0.0.1:" + std::to_string(statuses.empty() ? closed.port() : server.port());
      argv.insert(argv.begin() + 1, "--connect-to");
      argv.insert(argv.begin() + 3, {"--cacert", authority.caFile()});
    }
    const auto run = testsupport::runChildProcess(  // serve runs until it is stopped
        argv, {"TMPDIR=" + folder + "/run"}, std::chrono::seconds(30),
        command.starts_with("serve"));
    const auto err = std::regex_replace(masked(run.err, ""), std::regex(".*\n"), "! $&");
    EXPECT_EQ(std::to_string(run.status) + " $ " + command + (err.empty() ? "\n" : " " + err) +
                  masked(run.out, call),
              call);
    EXPECT_TRUE(std::filesystem::is_empty(folder + "/run"));  // the local service took its CA along
  }
}

}  // namespace tamsenor
