// The sign-in service over the real stack and TLS to the real API URL (routed to loopback): a
// server that answers 503 twice and then 200 sees three identical signed requests, and the
// caller hears of no error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;

// Field names lower-cased, sorted; the server library's own socket entries left out.
std::vector<std::string> fieldsOf(const httplib::Request& request) {
  std::vector<std::string> fields;
  for (const auto& [name, value] : request.headers) {
    if (name.find("_ADDR") != std::string::npos || name.find("_PORT") != std::string::npos)
      continue;
    std::string lowered = name;
    for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fields.push_back(lowered + ": " + value);
  }
  std::sort(fields.begin(), fields.end());
  return fields;
}

TEST(SignInEndToEnd, TwoUnavailableAnswersThenSuccessMeanThreeIdenticalSignedPostsAndNoError) {
  tools::LocalCertificateAuthority issuer;
  const std::string host(apiBaseURL().host());
  const auto issued = issuer.issue(host);
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  std::mutex mutex;
  std::vector<std::string> seen;
  server.server().Post(
      "/v0/send_sign_in_link", [&](const httplib::Request& request, httplib::Response& response) {
        std::string line = request.method + " " + request.path + " " + request.body;
        for (const auto& field : fieldsOf(request)) line += " | " + field;
        std::lock_guard lock(mutex);
        seen.push_back(line);
        response.status = seen.size() <= 2 ? 503 : 200;
      });
  server.start();

  URLSessionConfiguration configuration;  // https only, as shipped
  configuration.additionalCABundlePath = issuer.caFile();
  configuration.hostOverrides = {{host, 0, "127.0.0.1", static_cast<std::uint16_t>(server.port())}};
  const std::string userAgent = "Tamsenor/490 (end to end)";
  const std::string address = "reader@example.org";
  auto lines = std::make_shared<testsupport::CompletionRecorder<std::string>>();
  auto outcomes = std::make_shared<
      testsupport::CompletionRecorder<std::optional<MagicLinkSignInService::Error>>>();
  {
    auto session = URLSession::create(configuration);
    auto client = URLSessionHTTPClient::create(session, userAgent)
                      ->withAuthentication([](URLRequest request) {
                        request.setValue("Bearer e2e-signing-token", "Authorization");
                        return request;
                      })
                      ->withRetries(2, StatusCodeRange(500, 599));
    auto service = RemoteMagicLinkSignInService::create(
        client, [lines](const std::string& line) { lines->record(line); });
    service->sendEmail(address, [outcomes](auto error) { outcomes->record(error); });
    ASSERT_TRUE(outcomes->waitFor(1, 30s));
    service.reset();
    client.reset();
    testsupport::releaseSessionHere(session);
  }
  ASSERT_EQ(outcomes->count(), 1u);
  EXPECT_EQ(outcomes->entries().front().value, std::nullopt);
  EXPECT_EQ(lines->count(), 0u);

  const std::string body = R"({"email": ")" + address + R"("})";
  const auto api = testsupport::apiHost();
  const std::string sent =
      "POST /v0/send_sign_in_link " + body +
      " | accept: application/json | authorization: Bearer e2e-signing-token" +
      " | content-length: 31 | content-type: application/json | host: " + api.host +
      (api.port == 443 ? "" : ":" + std::to_string(api.port)) + " | user-agent: " + userAgent;
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, std::vector<std::string>(3, sent));
}

}  // namespace
}  // namespace tamsenor
