// The sign-in service over the whole stack and TLS to the real API URL, routed to loopback: the
// signing token goes out on every attempt, and comes back in no log line and no error text; no
// TLS secret that would expose it reaches a key-log file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/TLSFaultServer.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using testsupport::CompletionRecorder;
using testsupport::TLSFaultServer;
using Action = TLSFaultServer::Action;

const std::string kToken = "tmsn-signing-secret-5e1f0c9a77b2";

// libcurl opens the file SSLKEYLOGFILE names when it is first initialised, and would write every
// TLS connection's traffic secrets there. Set before main(): every session of this program meets
// it.
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
    std::string afterToken;       // appended to the signed value
    std::vector<Action> answers;  // by attempt
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows{
      {"UnavailableTwiceThenOK", "", {Action::unavailable, Action::unavailable, Action::ok}, {}},
      {"ClosedWithoutAnswer",
       "",
       std::vector<Action>(3, Action::closeWithoutAnswer),
       {failed + "Server returned nothing (no headers, no data): Empty reply from server)"}},
      {"SignedFieldRefused",
       "\r\nX-Injected: 1",
       {},
       {failed +
        "header field \"Authorization\" has a value holding a control character other than tab)"}}};
  const auto api = testsupport::apiHost();
  tools::LocalCertificateAuthority issuer;
  const auto issued = issuer.issue(api.host);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    TLSFaultServer server(
        TLSFaultServer::Protocol::http1, issued, issued,
        [&row](std::size_t, std::size_t request) {
          return request <= row.answers.size() ? row.answers[request - 1]
                                               : Action::closeWithoutAnswer;
        },
        [](std::size_t) { return false; });
    URLSessionConfiguration configuration;  // https only, as shipped
    configuration.additionalCABundlePath = issuer.caFile();
    configuration.hostOverrides = {{api.host, api.port, "127.0.0.1", server.port()}};
    auto session = URLSession::create(configuration);
    auto stack = URLSessionHTTPClient::create(session, "Secrecy/1")
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
                             "\r\nContent-Type: application/json\r\nAuthorization: Bearer " +
                             kToken +
                             "\r\nAccept: application/json\r\nUser-Agent: Secrecy/1\r\n"
                             "Content-Length: 31\r\n\r\n";
    EXPECT_EQ(server.heads(), std::vector<std::string>(row.answers.size(), head));
    ASSERT_TRUE(std::filesystem::exists(kKeyLog.path));  // libcurl did read the variable
    EXPECT_EQ(std::filesystem::file_size(kKeyLog.path), 0u);
  }
}

}  // namespace
}  // namespace tamsenor
