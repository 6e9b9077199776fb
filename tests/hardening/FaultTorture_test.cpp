// Every fault class on every attempt of retry chains 0 to 3 long: exact attempts made and seen,
// one completion with the exact outcome, and exactly one of URLError's predicates holding.
#include <gtest/gtest.h>

#include <regex>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/SendAndWait.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::describe;
using testsupport::FaultBench;
using testsupport::FaultServer;
using testsupport::predicatesHolding;
using Fault = FaultBench::Fault;
using Step = FaultBench::Step;

// The outcome and predicate of each fault, in Fault order; "<stream>" is the failed HTTP/2 stream.
const std::pair<std::string, std::string> kOutcomes[] = {
    {"Couldn't connect to server: Failed to connect to 127.0.0.1 port <port> after <ms> ms: "
     "Couldn't connect to server",
     "cannotConnect"},
    {"Server returned nothing (no headers, no data): Empty reply from server", "connectionLost"},
    {"Transferred a partial file: transfer closed with 90 bytes remaining to read",
     "connectionLost"},
    {"Failure when receiving data from the peer: Recv failure: Connection reset by peer",
     "connectionLost"},
    {"Timeout was reached: no data moved for 1000 ms", "timedOut"},
    {"Unsupported protocol: Received HTTP/0.9 when not allowed", "badServerResponse"},
    {"SSL peer certificate or SSH remote key was not OK: SSL certificate problem: unable to get "
     "local issuer certificate",
     "secureConnectionFailed"},
    {"Stream error in the HTTP/2 framing layer: HTTP/2 stream <stream> was not closed cleanly: "
     "INTERNAL_ERROR (err 2)",
     "connectionLost"},
    {"Transferred a partial file: HTTP/2 stream <stream> was not closed cleanly before end of the "
     "underlying stream",
     "connectionLost"},
};

struct Case {
  Fault fault;
  std::uint64_t retries;
  std::size_t faultOn;  // the attempt that meets the fault; 0 for every attempt
};

class FaultTorture : public ::testing::TestWithParam<Case> {};

TEST_P(FaultTorture, AttemptsAreExactAndTheCompletionRunsOnce) {
  const auto [fault, retries, faultOn] = GetParam();
  // Attempts before the faulty one answer 503 (inside the retry range), those after it 200.
  FaultBench bench(fault, [faultOn = faultOn](std::size_t attempt) {
    if (faultOn == 0 || attempt == faultOn) return Step::fault;
    return attempt < faultOn ? Step::unavailable : Step::ok;
  });
  auto request = bench.request();
  if (fault == Fault::stall) {  // idleness is timed after a request body too
    request.setHTTPMethod("POST");
    request.setHTTPBody(Data(64 * 1024, std::uint8_t{'b'}));
  }
  auto results = std::make_shared<testsupport::CompletionRecorder<HTTPClientResult>>();
  const auto started = std::chrono::steady_clock::now();
  {
    auto session = bench.session();
    auto stack = bench.client("TamsenorTorture/1.0", session)
                     ->withAuthentication([](URLRequest attempt) {
                       attempt.setValue("Bearer torture", "Authorization");
                       return attempt;
                     })
                     ->withRetries(retries, StatusCodeRange(500, 599));
    stack->perform(request,
                   [results](HTTPClientResult result) { results->record(std::move(result)); });
    ASSERT_TRUE(results->waitFor(1, 30s));
    stack.reset();
    testsupport::releaseSessionHere(session);
  }  // the session is gone: a second completion would have arrived before this point
  const auto elapsed = std::chrono::steady_clock::now() - started;

  const std::size_t allowed = retries + 1;
  const bool fails = faultOn == 0 || faultOn == allowed;
  const std::size_t attempts = fails ? allowed : faultOn + 1;
  const std::size_t faulty = faultOn == 0 ? allowed : 1;
  EXPECT_EQ(bench.clientAttempts(), attempts);
  EXPECT_EQ(bench.serverAttempts(),
            fault == Fault::connectionRefused ? attempts - faulty : attempts);
  ASSERT_EQ(results->count(), 1u);
  if (fault == Fault::stall) {
    EXPECT_GE(elapsed, faulty * 900ms);
    EXPECT_LT(elapsed, faulty * 2500ms);
  }

  const auto result = results->entries().front().value;
  if (!fails) {
    EXPECT_EQ(describe(result), "200:ok");
    return;
  }
  const auto& [text, predicate] = kOutcomes[static_cast<int>(fault)];
  // Over HTTP/2 the attempts share a connection, but each GOAWAY ends one.
  const int stream = fault == Fault::http2GoAway && faultOn == 0 ? 1 : 2 * int(attempts) - 1;
  const auto seen = std::regex_replace(describe(result), std::regex("port \\d+ after \\d+ ms"),
                                       "port <port> after <ms> ms");
  EXPECT_EQ(seen, "networkError(" +
                      std::regex_replace(text, std::regex("<stream>"), std::to_string(stream)) +
                      ")");
  ASSERT_TRUE(result.error().underlyingError());
  EXPECT_EQ(result.error().underlyingError()->code(), FaultBench::curlCode(fault));
  EXPECT_EQ(predicatesHolding(*result.error().underlyingError()), predicate);
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  for (int fault = 0; fault <= static_cast<int>(Fault::http2GoAway); ++fault) {
    for (std::uint64_t retries = 0; retries <= 3; ++retries) {
      for (std::size_t attempt = 0; attempt <= retries + 1; ++attempt) {
        cases.push_back({static_cast<Fault>(fault), retries, attempt});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryFaultEveryAttempt, FaultTorture, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<Case>& row) {
                           const auto& c = row.param;
                           return std::string(FaultBench::name(c.fault)) + "_Retries" +
                                  std::to_string(c.retries) +
                                  (c.faultOn == 0 ? "_OnEveryAttempt"
                                                  : "_OnAttempt" + std::to_string(c.faultOn));
                         });

// A kept-alive connection that dies after the request went out: the transport sends an idempotent
// request once more on a fresh connection, and never a POST, which the server may have processed.
// One session for every row, so that nothing of a loss carries over to the next request.
TEST(ResendAfterLoss, OnlyAnIdempotentRequestGoesOutAgainOnAFreshConnection) {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto session = URLSession::create(configuration);
  auto client = URLSessionHTTPClient::create(session, "Resend/1");
  const struct {
    const char* method;
    std::optional<std::string> body;
    std::string framing;  // the request as the server sees it, but for its other fields
  } requests[] = {{"GET", std::nullopt, "GET /"},
                  {"DELETE", "x", "DELETE /\r\nContent-Length: 1"},
                  {"POST", "{}", "POST /\r\nContent-Length: 2"},
                  {"POST", "", "POST /\r\nContent-Length: 0"},
                  {"PATCH", std::nullopt, "PATCH /"}};
  for (const auto& [method, body, framing] : requests) {
    const bool idempotent = framing.starts_with("GET") || framing.starts_with("DELETE");
    for (const std::uint64_t retries : {0u, 1u, 2u}) {
      SCOPED_TRACE(framing + ", " + std::to_string(retries) + " retries");
      // Answers the first request on each connection 503, reads the second and closes unanswered.
      auto seen = std::make_shared<testsupport::CompletionRecorder<std::string>>();
      FaultServer server([seen](FaultServer& self, int connection) {
        for (int request = 0; request < 2; ++request) {
          const auto received = self.readRequest(connection);
          if (!received) return;
          const auto field = received->find("\r\nContent-Length: ");
          seen->record(received->substr(0, received->find(" HTTP/1.1")) +
                       (field == std::string::npos
                            ? ""
                            : received->substr(field, received->find("\r\n", field + 2) - field)));
          if (request == 0) self.send(connection, "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n");
        }
      });
      URLRequest request(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
      request.setHTTPMethod(method);
      if (body) request.setHTTPBody(toData(*body));
      const auto result = testsupport::sendAndWait(
          *client->withRetries(retries, StatusCodeRange(500, 599)), request);
      EXPECT_EQ(describe(result),
                retries == 1 && !idempotent
                    ? "networkError(Server returned nothing (no headers, no data): the connection "
                      "closed before an answer; the request may have reached the server and is "
                      "not sent again)"
                    : "503:");
      // The resend is the first request on its connection, so it is answered 503.
      EXPECT_EQ(seen->values(),
                std::vector<std::string>(idempotent ? 2 * retries + 1 : retries + 1, framing));
    }
  }
  client.reset();
  testsupport::releaseSessionHere(session);
}

// Streams the server provably never processed go out again, whatever the method, within the one
// attempt; a server that refuses every stream is given up on. An answer that comes whole before
// the request's body and a reset (NO_ERROR) after it arrive as they are.
TEST(HTTP2StreamEnd, RefusedStreamsGoOutAgainAndEarlyAnswersArrive) {
  const struct {
    Fault fault;
    const char* method;
    bool always;  // every stream meets the fault, not only the first
    std::string outcome;
    std::size_t streams;
    std::size_t http1Requests = 0;
  } rows[] = {
      {Fault::http2RefusedStream, "GET", false, "200:ok", 2},
      {Fault::http2RefusedStream, "POST", false, "200:ok", 2},
      {Fault::http2GoAwayUnseen, "POST", false, "200:ok", 2},
      {Fault::http2RequiresHTTP1, "POST", true, "200:ok", 1, 1},
      {Fault::http2EarlyAnswer, "POST", true, "200:received", 1},
      {Fault::http2RefusedStream, "GET", true,
       "networkError(Stream error in the HTTP/2 framing layer: the server refused the stream 100 "
       "times)",
       100},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(FaultBench::name(row.fault)) + " " + row.method);
    FaultBench bench(row.fault, [always = row.always](std::size_t stream) {
      return always || stream == 1 ? Step::fault : Step::ok;
    });
    auto session = bench.session();
    auto request = bench.request();
    request.setHTTPMethod(row.method);
    if (row.fault == Fault::http2EarlyAnswer) request.setHTTPBody(Data(1024 * 1024, 'b'));
    EXPECT_EQ(describe(testsupport::sendAndWait(*bench.client("Refused/1", session), request)),
              row.outcome);
    testsupport::releaseSessionHere(session);
    EXPECT_EQ(bench.clientAttempts(), 1u);
    EXPECT_EQ(bench.serverAttempts(), row.streams);
    EXPECT_EQ(bench.heads().size(), row.http1Requests);
  }
}

// A server done with an idle kept-alive connection closes it (over TLS with a close_notify that
// libcurl 7.88 takes for life) or writes to it; the next request goes out on a fresh connection,
// whatever its method, and reaches the server once.
TEST(StaleConnection, TheNextRequestGoesOutOnceOnAFreshConnection) {
  const auto api = testsupport::apiHost();
  tools::LocalCertificateAuthority issuer;
  const auto tls = FaultBench::serverContext(issuer.issue(api.host), false);
  enum class Idle { closeNotify, strayAnswer };
  for (const auto idle : {Idle::closeNotify, Idle::strayAnswer}) {
    for (const std::string method : {"GET", "POST"}) {
      SCOPED_TRACE(method + (idle == Idle::closeNotify ? " after a close_notify" : " after a 408"));
      auto seen = std::make_shared<testsupport::CompletionRecorder<std::string>>();
      FaultServer server(
          [&, seen](FaultServer& self, int connection) {
            const auto request = self.readRequest(connection);
            if (!request) return;
            seen->record(request->substr(0, request->find(' ')));
            self.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            self.pause(100ms);
            if (idle == Idle::closeNotify) return self.finish(connection);
            self.send(connection, "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n");
            self.receive(connection);  // until the client lets go
          },
          [&](std::size_t) { return idle == Idle::closeNotify ? tls.get() : nullptr; });
      URLSessionConfiguration configuration;
      configuration.allowedSchemes = {"https", "http"};
      configuration.additionalCABundlePath = issuer.caFile();
      configuration.hostOverrides = {{api.host, api.port, "127.0.0.1", server.port()}};
      auto session = URLSession::create(configuration);
      URLRequest request(idle == Idle::closeNotify
                             ? apiBaseURL().appendingPathComponent("stale")
                             : *URL::parse("http://127.0.0.1:" + std::to_string(server.port())));
      request.setHTTPMethod(method);
      auto client = URLSessionHTTPClient::create(session, "Stale/1");
      EXPECT_EQ(describe(testsupport::sendAndWait(*client, request)), "200:ok");
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(describe(testsupport::sendAndWait(*client, request)), "200:ok");
      client.reset();
      testsupport::releaseSessionHere(session);
      EXPECT_EQ(seen->values(), std::vector<std::string>(2, method));
      EXPECT_EQ(server.acceptCount(), 2u);
    }
  }
}

}  // namespace
}  // namespace tamsenor
