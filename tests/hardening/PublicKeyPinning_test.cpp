// Pins decide after verification and before anything of a request is sent, for the request's host
// only: the API host, sent to loopback by a host override, over HTTP/1.1 and HTTP/2 (where the
// second request rides the first one's connection).
#include <gtest/gtest.h>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/SendAndWait.hpp"

namespace tamsenor {
namespace {

using testsupport::FaultBench;
using Fault = FaultBench::Fault;

TEST(PublicKeyPinning, OnlyAServerWithAPinnedKeyIsSentTheRequest) {
  const std::string api = testsupport::apiHost().host,
                    wrong = "sha256/" + std::string(43, 'A') + "=";
  const std::string refused = "networkError(SSL public key does not match pinned public key: ";
  const std::string mismatch = refused + "SSL: public key does not match pinned public key)";
  const std::string notHTTPS = refused + "the host's keys are pinned and the URL is not https)";
  const struct {
    std::string host;  // whose keys are pinned: "right" is the server's
    std::vector<std::string> pins;
    std::string outcome;
    std::vector<Fault> servers{Fault::untrustedCertificate, Fault::http2StreamReset};
  } rows[] = {
      {api, {"right"}, "200:ok"},
      {api, {wrong, "right"}, "200:ok"},
      {"elsewhere.example", {wrong}, "200:ok"},
      {api, {wrong}, mismatch},
      {api, {}, mismatch},
      {"127.0.0.1", {wrong}, notHTTPS, {Fault::closedBeforeAnswer}},  // plain http
  };
  for (const auto& row : rows) {
    for (const Fault server : row.servers) {
      SCOPED_TRACE(row.host + " " + std::string(FaultBench::name(server)));
      FaultBench bench(server, [](std::size_t) { return FaultBench::Step::ok; });
      auto configuration = bench.configuration();
      auto& pins = configuration.publicKeyPins[row.host];
      for (const auto& pin : row.pins) {
        pins.push_back(*PublicKeyPin::parse(pin == "right" ? bench.publicKeyPin() : pin));
      }
      auto session = URLSession::create(configuration);
      auto client = bench.client("Pin/1", session);
      for (int request = 0; request < 2; ++request) {
        const auto result = testsupport::sendAndWait(*client, bench.request());
        EXPECT_EQ(testsupport::describe(result), row.outcome);
        EXPECT_EQ(result ? "" : testsupport::predicatesHolding(*result.error().underlyingError()),
                  result ? "" : "secureConnectionFailed");
      }
      client.reset();
      testsupport::releaseSessionHere(session);
      const bool http2 = server == Fault::http2StreamReset, reached = row.outcome == "200:ok";
      EXPECT_EQ(http2 ? bench.serverAttempts() : bench.heads().size(), reached ? 2u : 0u);
      EXPECT_EQ(bench.connections(), row.servers.size() == 1 ? 0u : reached && http2 ? 1u : 2u);
    }
  }
}

}  // namespace
}  // namespace tamsenor
