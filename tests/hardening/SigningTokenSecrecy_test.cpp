// A signing token goes out on every attempt and comes back in no error text and no log line, and
// no TLS secret that would expose it is written to a key-log file.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using testsupport::CompletionRecorder;
using testsupport::FaultServer;

const std::string kToken = "tmsn-signing-secret-5e1f0c9a77b2";

// libcurl opens the file SSLKEYLOGFILE names when it is first initialised and would write every
// TLS connection's traffic secrets there; set before main(), every session of this program meets
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

// Both the failure text libcurl writes and the refusal of a signed field reach the service's log.
TEST(SigningTokenSecrecy, NeverInAnErrorTextOrALogLine) {
  struct Row {
    const char* label;
    std::string afterToken;  // appended to the signed value
    std::string error;
    std::size_t heads;  // requests the server read
  };
  const std::vector<Row> rows{
      {"ServerClosesWithoutAnswer", "",
       "Server returned nothing (no headers, no data): Empty reply from server", 2},
      {"SignedFieldRefused", "\r\nX-Injected: 1",
       "header field \"Authorization\" has a value holding a control character other than tab", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    CompletionRecorder<std::string> heads;
    FaultServer server([&heads](FaultServer& self, int connection) {
      if (auto head = self.readRequestHead(connection)) heads.record(*head);
    });
    URLSessionConfiguration configuration;
    configuration.allowedSchemes = {"http"};
    auto session = URLSession::create(configuration);
    auto stack = testsupport::AttemptCountingHTTPClient::create(
                     URLSessionHTTPClient::create(session, "Secrecy/1"),
                     std::make_shared<std::atomic<std::size_t>>(0),
                     [&server](std::size_t, URLRequest& request) {
                       request.setURL(
                           *URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
                     })
                     ->withAuthentication([&row](URLRequest request) {
                       request.setValue("Bearer " + kToken + row.afterToken, "Authorization");
                       return request;
                     })
                     ->withRetries(1, StatusCodeRange(500, 599));
    auto lines = std::make_shared<CompletionRecorder<std::string>>();
    auto done = std::make_shared<CompletionRecorder<bool>>();
    auto signIn = RemoteMagicLinkSignInService::create(
        stack, [lines](const std::string& line) { lines->record(line); });
    signIn->sendEmail("reader@example.org", [done](auto) { done->record(true); });
    ASSERT_TRUE(done->waitFor(1));
    signIn.reset();
    stack.reset();
    testsupport::releaseSessionHere(session);
    EXPECT_EQ(lines->values(),
              std::vector<std::string>{
                  "RemoteMagicLinkSignInService: Failed to send email to reader@example.org - "
                  "HTTP Client post failed with error networkError(" +
                  row.error + ")"});
    ASSERT_EQ(heads.count(), row.heads);
    for (const auto& head : heads.values()) {
      EXPECT_NE(head.find("\r\nAuthorization: Bearer " + kToken + "\r\n"), std::string::npos)
          << head;
    }
  }
}

TEST(KeyLogSecrecy, SSLKEYLOGFILEStaysEmptyAfterATLSExchange) {
  tools::LocalCertificateAuthority issuer;
  const auto issued = issuer.issue("keylog.test");
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("tls", "text/plain");
  });
  server.start();
  URLSessionConfiguration configuration;
  configuration.additionalCABundlePath = issuer.caFile();
  configuration.hostOverrides = {
      {"keylog.test", 0, "127.0.0.1", static_cast<std::uint16_t>(server.port())}};
  auto session = URLSession::create(configuration);
  const auto outcome =
      testsupport::sendAndWait(*session, URLRequest(*URL::parse("https://keylog.test/")));
  testsupport::releaseSessionHere(session);
  ASSERT_TRUE(outcome.body) << (outcome.error ? outcome.error->description() : "");
  EXPECT_EQ(asText(*outcome.body), "tls");
  ASSERT_TRUE(std::filesystem::exists(kKeyLog.path));  // libcurl did read the variable
  EXPECT_EQ(std::filesystem::file_size(kKeyLog.path), 0u);
}

}  // namespace
}  // namespace tamsenor
