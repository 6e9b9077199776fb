// What leaves the process is what the caller meant: no redirect is followed, no header can
// smuggle a line or override framing, and no address can add a member to the sign-in body.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::LoopbackHTTPServer;
using Results = CompletionRecorder<HTTPClientResult>;

const std::string kToken = "tmsn-signing-secret-5e1f0c9a77b2";

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

// Counts every connection and answers each request 200, so anything sent would show.
void answerOK(FaultServer& server, int connection) {
  if (server.readRequestHead(connection)) {
    server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  }
}

TEST(RedirectContainment, NoRedirectStatusLeadsToItsTarget) {
  FaultServer target(&answerOK);
  LoopbackHTTPServer origin;
  const std::string location = "http://127.0.0.1:" + std::to_string(target.port()) + "/taken";
  origin.server().Get(R"(/moved/(\d+))",
                      [location](const httplib::Request& request, httplib::Response& response) {
                        response.status = std::stoi(request.matches[1]);
                        response.set_header("Location", location);
                        response.set_content("moved", "text/plain");
                      });
  origin.start();

  const std::vector<int> statuses{301, 302, 303, 307, 308};
  auto results = std::make_shared<Results>();
  {
    auto session = URLSession::create(plainHTTP());
    auto client = URLSessionHTTPClient::create(session, "Redirect/1")
                      ->withAuthentication([](URLRequest request) {
                        request.setValue("Bearer " + kToken, "Authorization");
                        return request;
                      })
                      ->withRetries(2, StatusCodeRange(500, 599));
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      URLRequest request(*URL::parse(origin.baseURL() + "/moved/" + std::to_string(statuses[i])));
      client->perform(request,
                      [results](HTTPClientResult result) { results->record(std::move(result)); });
      ASSERT_TRUE(results->waitFor(i + 1, 30s));
    }
    client.reset();
    testsupport::releaseSessionHere(session);
  }
  const auto entries = results->entries();
  ASSERT_EQ(entries.size(), statuses.size());
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    ASSERT_TRUE(entries[i].value.hasValue()) << entries[i].value.error();
    EXPECT_EQ(entries[i].value.value().response().statusCode(), statuses[i]);
    EXPECT_EQ(asText(entries[i].value.value().body()), "moved");
  }
  EXPECT_EQ(origin.requestCount(), statuses.size());
  EXPECT_EQ(target.acceptCount(), 0u);
}

struct BadHeader {
  std::string label;
  std::string name;
  std::string value;
  std::string description;
  // For a head refused as too large: its size without the URL, which holds the server's port.
  std::size_t headBytesBesidesURL = 0;
};

std::vector<BadHeader> badHeaders() {
  const std::string bearer = "Bearer " + kToken;
  const auto valueRefused = [](const std::string& name) {
    return "header field \"" + name + "\" has a value holding a control character other than tab";
  };
  const auto owned = [](const std::string& name) {
    return "header field \"" + name + "\" is written by the transport itself";
  };
  return {
      {"ValueWithCRLF", "Authorization", bearer + "\r\nX-Injected: 1",
       valueRefused("Authorization")},
      {"ValueWithLF", "Authorization", bearer + "\nX-Injected: 1", valueRefused("Authorization")},
      {"ValueWithCR", "Authorization", bearer + "\rX-Injected: 1", valueRefused("Authorization")},
      {"ValueWithNUL", "Authorization", bearer + std::string(1, '\0') + "tail",
       valueRefused("Authorization")},
      {"ValueWithEscape", "Authorization", bearer + "\x1b[8m", valueRefused("Authorization")},
      {"ValueWithDelete", "Authorization", bearer + "\x7f", valueRefused("Authorization")},
      // libcurl itself would fail this one as "Out of memory" after building most of the head.
      // "POST  HTTP/1.1", X-Padding, the stamped X-Attempt, Accept and User-Agent lines and the
      // blank line.
      {"HeadOfOneMebibyte", "X-Padding", std::string(1 << 20, 'p'), "",
       16 + (13 + (1 << 20)) + 14 + 26 + 22 + 2},
      {"NameWithCRLF", "X-Token\r\nX-Injected", bearer,
       "header field name \"X-Token\\x0d\\x0aX-Injected\" is not an HTTP token"},
      {"NameWithBlank", "X Token", bearer,
       "header field name \"X\\x20Token\" is not an HTTP token"},
      {"NameWithColon", "X-Token:", bearer, "header field name \"X-Token:\" is not an HTTP token"},
      {"Host", "Host", "evil.example", owned("Host")},
      {"ContentLength", "content-length", "0", owned("content-length")},
      {"TransferEncoding", "Transfer-Encoding", "chunked", owned("Transfer-Encoding")},
      {"Connection", "CONNECTION", "keep-alive, Upgrade", owned("CONNECTION")},
      {"Expect", "Expect", "100-continue", owned("Expect")},
  };
}

class HeaderInjectionRefusal : public ::testing::TestWithParam<BadHeader> {};

TEST_P(HeaderInjectionRefusal, EveryAttemptIsRefusedAndNothingIsSent) {
  const auto bad = GetParam();
  FaultServer server(&answerOK);
  auto attempts = std::make_shared<std::atomic<std::size_t>>(0);
  auto results = std::make_shared<Results>();
  std::string url;
  {
    auto session = URLSession::create(plainHTTP());
    auto client = testsupport::AttemptCountingHTTPClient::create(
                      URLSessionHTTPClient::create(session, "Inject/1"), attempts)
                      ->withAuthentication([bad](URLRequest request) {
                        request.setValue(bad.value, bad.name);
                        return request;
                      })
                      ->withRetries(2, StatusCodeRange(500, 599));
    url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    URLRequest request(*URL::parse(url));
    request.setHTTPMethod("POST");
    request.setHTTPBody(toData(R"({"email": "a@b.c"})"));
    client->perform(request,
                    [results](HTTPClientResult result) { results->record(std::move(result)); });
    ASSERT_TRUE(results->waitFor(1, 30s));
    client.reset();
    testsupport::releaseSessionHere(session);
  }
  ASSERT_EQ(results->count(), 1u);
  const auto result = results->entries().front().value;
  ASSERT_FALSE(result.hasValue());
  EXPECT_EQ(
      result.error(),
      HTTPClientError::networkError(
          bad.headBytesBesidesURL == 0
              ? URLError(URLError::invalidHeaderField, bad.description)
              : URLError(URLError::requestHeadTooLarge,
                         "request head of " + std::to_string(bad.headBytesBesidesURL + url.size()) +
                             " bytes exceeds the limit of 65536")));
  EXPECT_EQ(to_string(result.error()).find(kToken), std::string::npos);
  EXPECT_EQ(attempts->load(), 3u);
  EXPECT_EQ(server.acceptCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(RefusedFields, HeaderInjectionRefusal, ::testing::ValuesIn(badHeaders()),
                         [](const ::testing::TestParamInfo<BadHeader>& headerInfo) {
                           return headerInfo.param.label;
                         });

struct ReceivedBody {
  bool parsed = false;
  std::size_t members = 0;
  std::optional<std::string> email;
};

TEST(SignInBodyIntegrity, NoAddressAddsAMemberOnTheWire) {
  tools::LocalCertificateAuthority issuer;
  const std::string host(apiBaseURL().host());
  const auto issued = issuer.issue(host);
  LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  std::mutex mutex;
  std::vector<ReceivedBody> received;
  server.server().Post("/v0/send_sign_in_link",
                       [&](const httplib::Request& request, httplib::Response& response) {
                         ReceivedBody body;
                         boost::system::error_code error;
                         const auto value = boost::json::parse(request.body, error);
                         body.parsed = !error && value.is_object();
                         if (body.parsed) {
                           body.members = value.get_object().size();
                           if (const auto* email = value.get_object().if_contains("email");
                               email && email->is_string()) {
                             body.email = std::string(email->get_string());
                           }
                         }
                         std::lock_guard lock(mutex);
                         received.push_back(body);
                         response.status = 200;
                       });
  server.start();

  const std::vector<std::string> addresses{
      R"(a@b.c", "admin": true, "x": "y)",
      R"(a@b.c"})",
      R"(\", \"role\": \"admin)",
      R"(back\slash@example.org\)",
      "line\r\nbreak@example.org",
      std::string("nul\0byte@example.org", 20),
      "tab\t@example.org",
      R"(</script>"},{"email":"b@c.d)",
      "zo\xc3\xab@example.org",
      "\xe2\x80\xa8separator@example.org",
  };
  URLSessionConfiguration configuration;
  configuration.additionalCABundlePath = issuer.caFile();
  configuration.hostOverrides = {{host, 0, "127.0.0.1", static_cast<std::uint16_t>(server.port())}};
  auto outcomes =
      std::make_shared<CompletionRecorder<std::optional<MagicLinkSignInService::Error>>>();
  {
    auto session = URLSession::create(configuration);
    auto service = RemoteMagicLinkSignInService::create(
        URLSessionHTTPClient::create(session, "Body/1"), nullptr);
    for (const auto& address : addresses) {
      service->sendEmail(address, [outcomes](auto error) { outcomes->record(error); });
    }
    ASSERT_TRUE(outcomes->waitFor(addresses.size(), 30s));
    service.reset();
    testsupport::releaseSessionHere(session);
  }
  for (const auto& entry : outcomes->entries()) EXPECT_EQ(entry.value, std::nullopt);
  std::lock_guard lock(mutex);
  ASSERT_EQ(received.size(), addresses.size());
  // Requests may arrive in any order over parallel connections; match them up by content.
  std::vector<std::string> emails;
  for (const auto& body : received) {
    EXPECT_TRUE(body.parsed);
    EXPECT_EQ(body.members, 1u);
    ASSERT_TRUE(body.email.has_value());
    emails.push_back(*body.email);
  }
  auto expected = addresses;
  std::sort(expected.begin(), expected.end());
  std::sort(emails.begin(), emails.end());
  EXPECT_EQ(emails, expected);
}

}  // namespace
}  // namespace tamsenor
