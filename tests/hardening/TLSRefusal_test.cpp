// TLS to the API host (routed to loopback) is refused for every flawed peer, before a request is
// sent; the same server with a sound certificate is reached, so each refusal has one cause.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::LoopbackHTTPServer;
using tools::LocalCertificateAuthority;

std::string apiHostName() { return std::string(apiBaseURL().host()); }

class TLSRefusal : public ::testing::Test {
 protected:
  void serve(std::unique_ptr<LoopbackHTTPServer> server) {
    server_ = std::move(server);
    server_->server().Get("/v0/ping", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("pong", "text/plain");
    });
    server_->start();
  }
  void serveCertificate(const LocalCertificateAuthority::Issued& issued) {
    serve(std::make_unique<LoopbackHTTPServer>(issued.certificateFile, issued.keyFile));
  }

  HTTPClientResult ping() {
    URLSessionConfiguration configuration;  // https only, as shipped
    configuration.additionalCABundlePath = issuer_.caFile();
    configuration.hostOverrides = {
        {apiHostName(), 0, "127.0.0.1", static_cast<std::uint16_t>(server_->port())}};
    auto results = std::make_shared<CompletionRecorder<HTTPClientResult>>();
    {
      auto session = URLSession::create(configuration);
      auto client = URLSessionHTTPClient::create(session, "Refusal/1");
      client->perform(URLRequest(apiBaseURL().appendingPathComponent("ping")),
                      [results](HTTPClientResult result) { results->record(std::move(result)); });
      EXPECT_TRUE(results->waitFor(1, 30s));
      client.reset();
      testsupport::releaseSessionHere(session);
    }
    EXPECT_EQ(results->count(), 1u);
    if (results->count() == 0)
      return HTTPClientResult::failure(HTTPClientError::unexpectedResponseType());
    return results->entries().front().value;
  }

  static void expectRefused(const HTTPClientResult& result, std::int64_t code,
                            const std::string& description) {
    ASSERT_FALSE(result.hasValue());
    ASSERT_TRUE(result.error().underlyingError().has_value()) << result.error();
    EXPECT_EQ(result.error().underlyingError()->code(), code);
    EXPECT_EQ(result.error().underlyingError()->description(), description);
  }

  LocalCertificateAuthority issuer_;
  std::unique_ptr<LoopbackHTTPServer> server_;
};

TEST_F(TLSRefusal, ReachesTheServerWithASoundCertificate) {
  serveCertificate(issuer_.issue(apiHostName()));
  const auto result = ping();
  ASSERT_TRUE(result.hasValue()) << result.error();
  EXPECT_EQ(asText(result.value().body()), "pong");
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(TLSRefusal, RefusesACertificateFromAnUntrustedAuthority) {
  LocalCertificateAuthority stranger;
  serveCertificate(stranger.issue(apiHostName()));
  expectRefused(ping(), 60,
                "SSL peer certificate or SSH remote key was not OK: SSL certificate problem: "
                "unable to get local issuer certificate");
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(TLSRefusal, RefusesAnExpiredCertificate) {
  serveCertificate(issuer_.issue(apiHostName(), -48h, -24h));
  expectRefused(ping(), 60,
                "SSL peer certificate or SSH remote key was not OK: SSL certificate problem: "
                "certificate has expired");
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(TLSRefusal, RefusesACertificateForAnotherName) {
  serveCertificate(issuer_.issue("elsewhere.invalid"));
  expectRefused(ping(), 60,
                "SSL peer certificate or SSH remote key was not OK: SSL: no alternative "
                "certificate subject name matches target host name '" +
                    apiHostName() + "'");
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(TLSRefusal, RefusesAPlainHTTPPeerOnAnHTTPSURL) {
  serve(std::make_unique<LoopbackHTTPServer>());
  const auto result = ping();
  ASSERT_FALSE(result.hasValue());
  ASSERT_TRUE(result.error().underlyingError().has_value()) << result.error();
  EXPECT_EQ(result.error().underlyingError()->code(), 35) << result.error();  // SSL_CONNECT_ERROR
  EXPECT_EQ(server_->requestCount(), 0u);
}

}  // namespace
}  // namespace tamsenor
