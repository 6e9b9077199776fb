// The signing token goes out on every attempt, and into no log line, error text or TLS key log.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

namespace tamsenor {
namespace {

using testsupport::CompletionRecorder;
using testsupport::FaultBench;
using Step = FaultBench::Step;

const std::string kToken = "tmsn-signing-secret-5e1f0c9a77b2";

// Set before main(): libcurl reads SSLKEYLOGFILE once, when it is first initialised.
struct KeyLogFile {
  KeyLogFile()
      : path(std::filesystem::temp_directory_path() /
             ("tamsenor-keylog-" + std::to_string(::getpid()))) {
    std::filesystem::remove(path);
    ::setenv("SSLKEYLOGFILE", path.c_str(), 1);
  }
  ~KeyLogFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  std::filesystem::path path;
};
const KeyLogFile kKeyLog;

TEST(SigningTokenSecrecy, SentOnEveryAttemptAndNeverInALogLineOrAKeyLog) {
  const std::string failed =
      "RemoteMagicLinkSignInService: Failed to send email to reader@example.org - HTTP Client post "
      "failed with error networkError(";
  struct Row {
    const char* label;
    std::string afterToken;     // appended to the signed value
    std::vector<Step> answers;  // by attempt; the fault is a certificate the session does not trust
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows{
      {"UnavailableTwiceThenOK", "", {Step::unavailable, Step::unavailable, Step::ok}, {}},
      {"UntrustedEveryAttempt",
       "",
       std::vector<Step>(3, Step::fault),
       {failed + "SSL peer certificate or SSH remote key was not OK: SSL certificate problem: "
                 "unable to get local issuer certificate)"}},
      {"SignedFieldRefused",
       "\r\nX-Injected: 1",
       {},
       {failed +
        "header field \"Authorization\" has a value holding a control character other than tab)"}}};
  const auto api = testsupport::apiHost();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    FaultBench bench(FaultBench::Fault::untrustedCertificate, [&row](std::size_t attempt) {
      return attempt <= row.answers.size() ? row.answers[attempt - 1] : Step::fault;
    });
    auto session = bench.session();
    auto stack = bench.client("Secrecy/1", session)
                     ->withAuthentication([&row](URLRequest request) {
                       request.setValue("Bearer " + kToken + row.afterToken, "Authorization");
                       return request;
                     })
                     ->withRetries(2, StatusCodeRange(500, 599));
    auto lines = std::make_shared<CompletionRecorder<std::string>>();
    auto outcome =
        std::make_shared<CompletionRecorder<std::optional<MagicLinkSignInService::Error>>>();
    auto signIn = RemoteMagicLinkSignInService::create(
        stack, [lines](const std::string& line) { lines->record(line); });
    signIn->sendEmail("reader@example.org", [outcome](auto error) { outcome->record(error); });
    ASSERT_TRUE(outcome->waitFor(1));
    signIn.reset();
    stack.reset();
    testsupport::releaseSessionHere(session);
    EXPECT_EQ(outcome->values().front(),
              row.lines.empty() ? std::nullopt
                                : std::optional(MagicLinkSignInService::Error::clientError));
    EXPECT_EQ(lines->values(), row.lines);
    const std::string head = "POST /v0/send_sign_in_link HTTP/1.1\r\nHost: " + api.host +
                             (api.port == 443 ? "" : ":" + std::to_string(api.port)) +
                             "\r\nAccept-Encoding: deflate, gzip, br, zstd"
                             "\r\nContent-Type: application/json\r\nAuthorization: Bearer " +
                             kToken +
                             "\r\nAccept: application/json\r\nUser-Agent: Secrecy/1\r\n"
                             "Content-Length: 31\r\n\r\n";
    std::vector<std::string> heads;  // without the bench's attempt numbers
    for (auto received : bench.heads()) {
      const auto field = received.find("X-Attempt: ");
      if (field != std::string::npos) {
        received.erase(field, received.find("\r\n", field) + 2 - field);
      }
      heads.push_back(received);
    }
    const auto reached = std::count(row.answers.begin(), row.answers.end(), Step::unavailable) +
                         std::count(row.answers.begin(), row.answers.end(), Step::ok);
    EXPECT_EQ(heads, std::vector<std::string>(static_cast<std::size_t>(reached), head));
    ASSERT_TRUE(std::filesystem::exists(kKeyLog.path));  // libcurl did read the variable
    EXPECT_EQ(std::filesystem::file_size(kKeyLog.path), 0u);
  }
}

}  // namespace
}  // namespace tamsenor
