// TLS to the API host (routed to loopback) is refused for every flawed peer, before a request is
// sent; the same server with a sound certificate is reached, so each refusal has one cause.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include "support/APIHost.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::FaultServer;
using testsupport::LoopbackHTTPServer;
using tools::LocalCertificateAuthority;

TEST(TLSRefusal, EveryFlawedPeerIsRefusedBeforeARequestAndASoundOneIsReached) {
  const auto api = testsupport::apiHost();
  LocalCertificateAuthority issuer;
  LocalCertificateAuthority stranger;
  const std::string notOK = "SSL peer certificate or SSH remote key was not OK: ";
  const struct {
    const char* name;
    std::optional<LocalCertificateAuthority::Issued> certificate;  // none: plain HTTP
    CURLcode code;
    std::string outcome;
    bool silent = false;  // the peer never answers the handshake
  } rows[] = {
      {"SoundCertificate", issuer.issue(api.host), CURLE_OK, "200:pong"},
      {"UntrustedAuthority", stranger.issue(api.host), CURLE_PEER_FAILED_VERIFICATION,
       notOK + "SSL certificate problem: unable to get local issuer certificate"},
      {"Expired", issuer.issue(api.host, -48h, -24h), CURLE_PEER_FAILED_VERIFICATION,
       notOK + "SSL certificate problem: certificate has expired"},
      {"AnotherName", issuer.issue("elsewhere.invalid"), CURLE_PEER_FAILED_VERIFICATION,
       notOK + "SSL: no alternative certificate subject name matches target host name '" +
           api.host + "'"},
      {"PlainHTTPPeer", std::nullopt, CURLE_SSL_CONNECT_ERROR,
       "SSL connect error: OpenSSL/" + std::string(OpenSSL_version(OPENSSL_VERSION_STRING)) +
           ": error:0A00010B:SSL routines::wrong version number"},
      // The connection's set-up counts against the timeout interval too.
      {"SilentPeer", std::nullopt, CURLE_OPERATION_TIMEDOUT,
       "Timeout was reached: no data moved for 1000 ms", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto server = row.certificate ? std::make_unique<LoopbackHTTPServer>(
                                        row.certificate->certificateFile, row.certificate->keyFile)
                                  : std::make_unique<LoopbackHTTPServer>();
    server->server().Get("/v0/ping", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("pong", "text/plain");
    });
    server->start();
    FaultServer silent([](FaultServer& self, int) { self.waitUntilStopped(); });
    URLSessionConfiguration configuration;  // https only, as shipped
    configuration.additionalCABundlePath = issuer.caFile();
    configuration.hostOverrides = {
        {api.host, api.port, "127.0.0.1",
         row.silent ? silent.port() : static_cast<std::uint16_t>(server->port())}};
    auto session = URLSession::create(configuration);
    URLRequest ping(apiBaseURL().appendingPathComponent("ping"));
    ping.setTimeoutInterval(row.silent ? 1.0 : 30.0);  // a handshake may take its time under load
    const auto result =
        testsupport::sendAndWait(*URLSessionHTTPClient::create(session, "TLS/1"), ping);
    testsupport::releaseSessionHere(session);
    EXPECT_EQ(testsupport::describe(result),
              row.code == CURLE_OK ? row.outcome : "networkError(" + row.outcome + ")");
    EXPECT_EQ(result ? 0 : result.error().underlyingError().value().code(), row.code);
    EXPECT_EQ(server->requestCount(), row.code == CURLE_OK ? 1u : 0u);
    EXPECT_EQ(silent.acceptCount(), row.silent ? 1u : 0u);
  }
}

}  // namespace
}  // namespace tamsenor
