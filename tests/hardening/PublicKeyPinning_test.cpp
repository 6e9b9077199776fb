// Pinned keys decide after verification and before anything of a request is sent, for the
// request's host only: the API host routed to loopback by a host override, over HTTP/1.1 and
// HTTP/2 (where the second request rides the first one's connection).
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "support/FaultBench.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/SendAndWait.hpp"
#include "support/URLErrorPredicates.hpp"

namespace tamsenor {
namespace {

using testsupport::FaultBench;
using Fault = FaultBench::Fault;

TEST(PublicKeyPinning, OnlyAServerWithAPinnedKeyIsSentTheRequest) {
  const std::string api = testsupport::apiHost().host;
  const std::string wrong = "sha256/" + std::string(43, 'A') + "=";
  const std::string mismatch = "networkError(SSL public key does not match pinned public key: ";
  const struct {
    const char* name;
    std::string host;               // whose keys are pinned
    std::vector<std::string> pins;  // "right": the server's
    bool reached;
    std::vector<Fault> transports{Fault::untrustedCertificate, Fault::http2StreamReset};
  } rows[] = {
      {"RightPin", api, {"right"}, true},
      {"WrongPin", api, {wrong}, false},
      {"BackupPinBesideAWrongOne", api, {wrong, "right"}, true},
      {"PinForAnotherHostOnly", "elsewhere.example", {wrong}, true},
      {"NoPinForAPinnedHost", api, {}, false},
      // A plain http server for 127.0.0.1 (allowed for the row): refused before connecting.
      {"PinnedHostOverPlainHTTP", "127.0.0.1", {wrong}, false, {Fault::closedBeforeAnswer}},
  };
  for (const auto& row : rows) {
    for (const Fault transport : row.transports) {
      SCOPED_TRACE(std::string(row.name) + " over " + std::string(FaultBench::name(transport)));
      FaultBench bench(transport, [](std::size_t) { return FaultBench::Step::ok; });
      auto configuration = bench.configuration();
      auto& pins = configuration.publicKeyPins[row.host];
      for (const auto& pin : row.pins) {
        pins.push_back(*PublicKeyPin::parse(pin == "right" ? bench.publicKeyPin() : pin));
      }
      auto session = URLSession::create(configuration);
      auto client = bench.client("Pin/1", session);
      const bool plain = transport == Fault::closedBeforeAnswer;
      for (int request = 0; request < 2; ++request) {
        const auto result = testsupport::sendAndWait(*client, bench.request());
        EXPECT_EQ(testsupport::describe(result),
                  row.reached ? "200:ok"
                  : plain     ? mismatch + "the host's keys are pinned and the URL is not https)"
                              : mismatch + "SSL: public key does not match pinned public key)");
        if (!result) {
          EXPECT_EQ(testsupport::predicatesHolding(*result.error().underlyingError()),
                    "secureConnectionFailed");
        }
      }
      client.reset();
      testsupport::releaseSessionHere(session);
      const bool http2 = transport == Fault::http2StreamReset;
      EXPECT_EQ(http2 ? bench.serverAttempts() : bench.heads().size(), row.reached ? 2u : 0u);
      EXPECT_EQ(bench.connections(), plain ? 0u : row.reached && http2 ? 1u : 2u);
    }
  }
}

}  // namespace
}  // namespace tamsenor
