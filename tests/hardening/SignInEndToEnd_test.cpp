// The sign-in service over the real stack and TLS to the real API URL (routed to loopback): a
// server that answers 503 twice and then 200 sees three identical signed requests, and the
// caller hears of no error.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

struct SeenRequest {
  std::string method;
  std::string path;
  std::string body;
  std::map<std::string, std::vector<std::string>> fields;  // lower-case name, values in order
};

std::string lowered(std::string text) {
  for (auto& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

TEST(SignInEndToEnd, TwoUnavailableAnswersThenSuccessMeanThreeIdenticalSignedPostsAndNoError) {
  tools::LocalCertificateAuthority issuer;
  const std::string host(apiBaseURL().host());
  const auto issued = issuer.issue(host);
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  std::mutex mutex;
  std::vector<SeenRequest> seen;
  server.server().Post("/v0/send_sign_in_link",
                       [&](const httplib::Request& request, httplib::Response& response) {
                         SeenRequest entry{request.method, request.path, request.body, {}};
                         for (const auto& [name, value] : request.headers) {
                           if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" ||
                               name == "LOCAL_ADDR" || name == "LOCAL_PORT") {
                             continue;
                           }
                           entry.fields[lowered(name)].push_back(value);
                         }
                         std::lock_guard lock(mutex);
                         seen.push_back(entry);
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

  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& request : seen) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v0/send_sign_in_link");
    EXPECT_EQ(request.body, R"({"email": ")" + address + R"("})");
    using Values = std::vector<std::string>;
    EXPECT_EQ(request.fields.at("content-type"), Values{"application/json"});
    EXPECT_EQ(request.fields.at("accept"), Values{"application/json"});
    EXPECT_EQ(request.fields.at("user-agent"), Values{userAgent});
    EXPECT_EQ(request.fields.at("authorization"), Values{"Bearer e2e-signing-token"});
    for (const auto& [name, values] : request.fields) {
      EXPECT_EQ(values.size(), 1u) << name;
    }
  }
  EXPECT_EQ(seen[0].fields, seen[1].fields);
  EXPECT_EQ(seen[1].fields, seen[2].fields);
}

}  // namespace
}  // namespace tamsenor
