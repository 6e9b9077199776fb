#include "tamsenor/http/URLSessionHTTPClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/NghttpdServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using testsupport::apiHost;

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::LoopbackHTTPServer;
using Fields = std::vector<std::pair<std::string, std::string>>;
using Results = CompletionRecorder<HTTPClientResult>;

const char* const kUserAgent = "TamsenorTest/1.0 (loopback)";

URL urlOf(const std::string& text) { return *URL::parse(text); }

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

// Sends one request and waits for its result. The session has ended when this returns, so
// `count` is final: a second completion would have arrived by then.
struct Exchange {
  std::optional<HTTPClientResult> result;
  std::size_t count = 0;
  std::chrono::steady_clock::duration elapsed{};
};

Exchange exchange(URLSessionConfiguration configuration, URLRequest request) {
  auto results = std::make_shared<Results>();
  auto session = URLSession::create(std::move(configuration));
  auto client = URLSessionHTTPClient::create(session, kUserAgent);
  const auto started = std::chrono::steady_clock::now();
  client->perform(std::move(request),
                  [results](HTTPClientResult result) { results->record(std::move(result)); });
  const bool arrived = results->waitFor(1, 30s);
  Exchange outcome;
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  client.reset();
  testsupport::releaseSessionHere(session);
  EXPECT_TRUE(arrived);
  outcome.count = results->count();
  if (arrived) outcome.result = results->entries().front().value;
  return outcome;
}

// ---------------------------------------------------------------------------------------------
// Classification of a task's outcome

TEST(URLSessionHTTPClient, ClassifiesAnErrorAsNetworkErrorEvenWithBodyAndResponse) {
  const URLError error(28, "Timeout was reached");
  const auto response = std::make_shared<const HTTPURLResponse>(urlOf("https://a.example/"), 200);
  const auto result = URLSessionHTTPClient::classify(toData("body"), response, error);
  ASSERT_FALSE(result.hasValue());
  EXPECT_EQ(result.error(), HTTPClientError::networkError(error));
  EXPECT_EQ(URLSessionHTTPClient::classify(std::nullopt, nullptr, error).error(),
            HTTPClientError::networkError(error));
}

TEST(URLSessionHTTPClient, ClassifiesMissingPiecesAsUnexpectedResponseType) {
  const auto http = std::make_shared<const HTTPURLResponse>(urlOf("https://a.example/"), 200);
  const auto plain = std::make_shared<const URLResponse>(urlOf("https://a.example/"));
  const auto unexpected = HTTPClientError::unexpectedResponseType();
  EXPECT_EQ(URLSessionHTTPClient::classify(std::nullopt, http, std::nullopt).error(), unexpected);
  EXPECT_EQ(URLSessionHTTPClient::classify(toData("x"), nullptr, std::nullopt).error(), unexpected);
  EXPECT_EQ(URLSessionHTTPClient::classify(toData("x"), plain, std::nullopt).error(), unexpected);
  EXPECT_EQ(URLSessionHTTPClient::classify(std::nullopt, nullptr, std::nullopt).error(),
            unexpected);
}

TEST(URLSessionHTTPClient, ClassifiesBodyAndHTTPResponseAsSuccessWhateverTheStatus) {
  const auto response = std::make_shared<const HTTPURLResponse>(urlOf("https://a.example/"), 503);
  const auto result = URLSessionHTTPClient::classify(Data{}, response, std::nullopt);
  ASSERT_TRUE(result.hasValue());
  EXPECT_TRUE(result.value().body().empty());
  EXPECT_EQ(&result.value().response(), response.get());  // the very object, not a copy
}

// ---------------------------------------------------------------------------------------------
// Against a plain HTTP server

class URLSessionHTTPClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post("/echo",
                          [this](const httplib::Request& request, httplib::Response& response) {
                            Fields fields;
                            for (const auto& [name, value] : request.headers) {
                              if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" &&
                                  name != "LOCAL_ADDR" && name != "LOCAL_PORT") {
                                fields.emplace_back(name, value);
                              }
                            }
                            std::sort(fields.begin(), fields.end());
                            seen_.record(fields);
                            response.set_content(request.method + " " + request.body, "text/plain");
                          });
    server_.server().Get("/status/500", [](const httplib::Request&, httplib::Response& response) {
      response.status = 500;
    });
    server_.server().Get("/status/404", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("missing", "text/plain");
    });
    server_.start();
  }

  URLRequest request(const std::string& path) const {
    return URLRequest(urlOf(server_.baseURL() + path));
  }

  LoopbackHTTPServer server_;
  CompletionRecorder<Fields> seen_;
};

TEST_F(URLSessionHTTPClientTest, ReplacesAcceptAndUserAgentAndLeavesTheRestAlone) {
  auto original = request("/echo");
  original.setHTTPMethod("POST");
  original.setValue("text/html", "accept");
  original.setValue("Old/0.1", "User-Agent");
  original.setValue("keep me", "X-Other");
  original.setValue("application/json", "Content-Type");
  original.setHTTPBody(toData(R"({"n":1})"));
  original.setTimeoutInterval(12);
  const auto before = original;

  const auto outcome = exchange(plainHTTP(), original);
  EXPECT_EQ(original, before);
  ASSERT_TRUE(outcome.result && outcome.result->hasValue());
  EXPECT_EQ(asText(outcome.result->value().body()), R"(POST {"n":1})");
  ASSERT_EQ(seen_.count(), 1u);
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());
  EXPECT_EQ(seen_.entries()[0].value, (Fields{{"Content-Length", "7"},
                                              {"Content-Type", "application/json"},
                                              {"Host", host},
                                              {"User-Agent", kUserAgent},
                                              {"X-Other", "keep me"},
                                              {"accept", "application/json"}}));
}

TEST_F(URLSessionHTTPClientTest, AddsAcceptAndUserAgentToARecordWithoutThem) {
  auto original = request("/echo");
  original.setHTTPMethod("POST");
  original.setHTTPBody(Data{});
  const auto outcome = exchange(plainHTTP(), original);
  EXPECT_FALSE(original.value("Accept").has_value());
  ASSERT_TRUE(outcome.result && outcome.result->hasValue());
  ASSERT_EQ(seen_.count(), 1u);
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());
  EXPECT_EQ(seen_.entries()[0].value, (Fields{{"Accept", "application/json"},
                                              {"Content-Length", "0"},
                                              {"Host", host},
                                              {"User-Agent", kUserAgent}}));
}

TEST_F(URLSessionHTTPClientTest, DeliversErrorStatusesAsSuccess) {
  const auto serverError = exchange(plainHTTP(), request("/status/500"));
  ASSERT_TRUE(serverError.result && serverError.result->hasValue());
  EXPECT_EQ(serverError.result->value().response().statusCode(), 500);
  EXPECT_TRUE(serverError.result->value().body().empty());
  EXPECT_EQ(serverError.count, 1u);

  const auto notFound = exchange(plainHTTP(), request("/status/404"));
  ASSERT_TRUE(notFound.result && notFound.result->hasValue());
  EXPECT_EQ(notFound.result->value().response().statusCode(), 404);
  EXPECT_EQ(asText(notFound.result->value().body()), "missing");
}

TEST_F(URLSessionHTTPClientTest, ARefusedRecordFailsAsNetworkErrorAndReachesNoServer) {
  auto bad = request("/echo");
  bad.setHTTPMethod("POST");
  bad.setHTTPBody(toData("abc"));
  bad.setValue("3", "Content-Length");
  const auto outcome = exchange(plainHTTP(), bad);
  ASSERT_TRUE(outcome.result && !outcome.result->hasValue());
  EXPECT_EQ(outcome.result->error(),
            HTTPClientError::networkError(
                URLError(URLError::invalidHeaderField,
                         "header field \"Content-Length\" is written by the transport itself")));
  EXPECT_EQ(outcome.count, 1u);
  EXPECT_EQ(server_.connectionCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Faults a server library cannot make. Each prints its row of the fault table.

void report(const char* fault, const Exchange& outcome) {
  std::string code = "-";
  std::string kind = "success";
  if (outcome.result && !outcome.result->hasValue()) {
    kind = std::string(to_string(outcome.result->error().kind()));
    if (const auto& underlying = outcome.result->error().underlyingError()) {
      code = std::to_string(underlying->code()) + " (" + underlying->description() + ")";
    }
  }
  std::printf("[ fault    ] %s | %s | %s\n", fault, code.c_str(), kind.c_str());
}

Exchange exchangeWith(FaultServer::Behaviour behaviour, double timeoutInterval = 10) {
  FaultServer server(std::move(behaviour));
  URLRequest request(urlOf("http://127.0.0.1:" + std::to_string(server.port()) + "/fault"));
  request.setTimeoutInterval(timeoutInterval);
  return exchange(plainHTTP(), request);
}

void expectNetworkError(const Exchange& outcome, std::int64_t code) {
  EXPECT_EQ(outcome.count, 1u);
  ASSERT_TRUE(outcome.result.has_value());
  ASSERT_FALSE(outcome.result->hasValue());
  EXPECT_EQ(outcome.result->error().kind(), HTTPClientError::Case::networkError);
  ASSERT_TRUE(outcome.result->error().underlyingError().has_value());
  EXPECT_EQ(outcome.result->error().underlyingError()->code(), code)
      << outcome.result->error().underlyingError()->description();
}

TEST(URLSessionHTTPClientFaults, ConnectionRefused) {
  testsupport::RefusingPort port;
  const auto outcome = exchange(
      plainHTTP(), URLRequest(urlOf("http://127.0.0.1:" + std::to_string(port.port()) + "/")));
  report("connection refused", outcome);
  expectNetworkError(outcome, 7);  // CURLE_COULDNT_CONNECT
}

TEST(URLSessionHTTPClientFaults, ServerClosesAfterReadingTheRequest) {
  const auto outcome = exchangeWith(
      [](FaultServer& server, int connection) { (void)server.readRequestHead(connection); });
  report("closed after request", outcome);
  expectNetworkError(outcome, 52);  // CURLE_GOT_NOTHING
}

TEST(URLSessionHTTPClientFaults, ServerClosesInTheMiddleOfTheHeaders) {
  const auto outcome = exchangeWith([](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    server.send(connection, "HTTP/1.1 200 OK\r\nContent-Type: text/pl");
  });
  report("closed mid-headers", outcome);
  expectNetworkError(outcome, 8);  // CURLE_WEIRD_SERVER_REPLY
}

TEST(URLSessionHTTPClientFaults, ServerSendsLessThanItsContentLength) {
  const auto outcome = exchangeWith([](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
  });
  report("short Content-Length", outcome);
  expectNetworkError(outcome, 18);  // CURLE_PARTIAL_FILE
}

TEST(URLSessionHTTPClientFaults, ServerBreaksTheChunkedBody) {
  const auto outcome = exchangeWith([](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    server.send(connection,
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n");
  });
  report("broken chunked body", outcome);
  expectNetworkError(outcome, 56);  // CURLE_RECV_ERROR
}

TEST(URLSessionHTTPClientFaults, ServerResetsTheConnectionMidBody) {
  const auto outcome = exchangeWith([](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    server.send(connection,
                "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
    server.pause(100ms);
    FaultServer::resetOnClose(connection);
  });
  report("reset mid-body", outcome);
  expectNetworkError(outcome, 56);  // CURLE_RECV_ERROR
}

TEST(URLSessionHTTPClientFaults, ServerStallsPastTheTimeoutInterval) {
  const auto outcome = exchangeWith(
      [](FaultServer& server, int connection) {
        (void)server.readRequestHead(connection);
        server.waitUntilStopped();
      },
      1.0);
  report("stall past timeout (1 s)", outcome);
  expectNetworkError(outcome, 28);  // CURLE_OPERATION_TIMEDOUT
  EXPECT_GE(outcome.elapsed, 900ms);
  EXPECT_LT(outcome.elapsed, 5s);
}

TEST(URLSessionHTTPClientFaults, ServerStallsAfterReceivingALargeBody) {
  // The bytes just sent must not count as recent traffic once the peer has gone quiet.
  FaultServer server([](FaultServer& fault, int connection) {
    (void)fault.readRequest(connection);
    fault.waitUntilStopped();
  });
  URLRequest request(urlOf("http://127.0.0.1:" + std::to_string(server.port()) + "/upload"));
  request.setHTTPMethod("POST");
  request.setHTTPBody(Data(512 * 1024, 'x'));
  request.setTimeoutInterval(1.0);
  const auto outcome = exchange(plainHTTP(), request);
  report("stall after a 512 KiB upload (1 s)", outcome);
  expectNetworkError(outcome, 28);  // CURLE_OPERATION_TIMEDOUT
  EXPECT_GE(outcome.elapsed, 900ms);
  EXPECT_LT(outcome.elapsed, 2500ms);
}

TEST(URLSessionHTTPClientFaults, ASlowDripWithinTheTimeoutIntervalSucceeds) {
  const auto outcome = exchangeWith(
      [](FaultServer& server, int connection) {
        (void)server.readRequestHead(connection);
        server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        for (char digit = '0'; digit <= '9'; ++digit) {
          if (!server.pause(200ms)) return;
          server.send(connection, std::string(1, digit));
        }
      },
      1.0);
  report("slow drip within timeout (1 s)", outcome);
  EXPECT_EQ(outcome.count, 1u);
  ASSERT_TRUE(outcome.result && outcome.result->hasValue());
  EXPECT_EQ(asText(outcome.result->value().body()), "0123456789");
  // Longer than the interval in all: only idleness counts.
  EXPECT_GE(outcome.elapsed, 1800ms);
}

TEST(URLSessionHTTPClientFaults, ServerAnswersSomethingThatIsNotHTTP) {
  const auto outcome = exchangeWith([](FaultServer& server, int connection) {
    (void)server.readRequestHead(connection);
    server.send(connection, "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n");
  });
  report("not HTTP", outcome);
  expectNetworkError(outcome, 1);  // CURLE_UNSUPPORTED_PROTOCOL
}

// ---------------------------------------------------------------------------------------------
// TLS to the real API base URL, routed to loopback

URLSessionConfiguration routedToLoopback(std::uint16_t port, std::optional<std::string> caFile) {
  URLSessionConfiguration configuration;  // https only, as shipped
  configuration.additionalCABundlePath = std::move(caFile);
  const auto api = apiHost();
  configuration.hostOverrides = {{api.host, api.port, "127.0.0.1", port}};
  return configuration;
}

class URLSessionHTTPClientTLSTest : public ::testing::Test {
 protected:
  void serveWithCertificateFor(const std::string& name) {
    const auto issued = authority_.issue(name);
    server_ = std::make_unique<LoopbackHTTPServer>(issued.certificateFile, issued.keyFile);
    server_->server().Get("/v0/ping", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("pong", "text/plain");
    });
    server_->start();
  }

  static URLRequest ping() { return URLRequest(apiBaseURL().appendingPathComponent("ping")); }

  tools::LocalCertificateAuthority authority_;
  std::unique_ptr<LoopbackHTTPServer> server_;
};

TEST_F(URLSessionHTTPClientTLSTest, VerifiesTheAPIHostAgainstTheExtraCAThroughTheOverride) {
  serveWithCertificateFor(apiHost().host);
  const auto outcome = exchange(
      routedToLoopback(static_cast<std::uint16_t>(server_->port()), authority_.caFile()), ping());
  ASSERT_TRUE(outcome.result.has_value());
  ASSERT_TRUE(outcome.result->hasValue()) << outcome.result->error();
  const auto& success = outcome.result->value();
  EXPECT_EQ(asText(success.body()), "pong");
  EXPECT_EQ(success.response().statusCode(), 200);
  EXPECT_EQ(success.response().url(), apiBaseURL().appendingPathComponent("ping"));
  EXPECT_EQ(success.response().httpVersion(), "1.1");  // the server speaks no HTTP/2
  EXPECT_GT(success.response().timings().tlsHandshake, 0.0);
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(URLSessionHTTPClientTLSTest, FailsWithoutTheExtraCA) {
  serveWithCertificateFor(apiHost().host);
  const auto outcome =
      exchange(routedToLoopback(static_cast<std::uint16_t>(server_->port()), std::nullopt), ping());
  expectNetworkError(outcome, 60);  // CURLE_PEER_FAILED_VERIFICATION
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(URLSessionHTTPClientTLSTest, FailsWithACertificateForAnotherName) {
  serveWithCertificateFor("elsewhere.invalid");
  const auto outcome = exchange(
      routedToLoopback(static_cast<std::uint16_t>(server_->port()), authority_.caFile()), ping());
  expectNetworkError(outcome, 60);  // CURLE_PEER_FAILED_VERIFICATION
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(URLSessionHTTPClientTLSTest, AnUnreadableCABundleFailsEveryHTTPSRequestUnsent) {
  serveWithCertificateFor(apiHost().host);
  const auto missing = (authority_.folder() / "missing.pem").string();
  const auto outcome =
      exchange(routedToLoopback(static_cast<std::uint16_t>(server_->port()), missing), ping());
  expectNetworkError(outcome, 77);  // CURLE_SSL_CACERT_BADFILE
  EXPECT_EQ(server_->connectionCount(), 0u);
}

TEST_F(URLSessionHTTPClientTLSTest, AStalledTLSHandshakeTimesOutWithinTheTimeoutInterval) {
  // The connection is accepted but the handshake never answered: set-up counts against the
  // interval too.
  FaultServer silent([](FaultServer& server, int) { server.waitUntilStopped(); });
  auto request = ping();
  request.setTimeoutInterval(1.0);
  const auto outcome = exchange(routedToLoopback(silent.port(), authority_.caFile()), request);
  report("TLS handshake stalls past timeout (1 s)", outcome);
  expectNetworkError(outcome, 28);  // CURLE_OPERATION_TIMEDOUT
  EXPECT_GE(outcome.elapsed, 900ms);
  EXPECT_LT(outcome.elapsed, 5s);
  EXPECT_EQ(silent.acceptCount(), 1u);
}

TEST_F(URLSessionHTTPClientTLSTest, MultiplexesConcurrentRequestsOverOneHTTP2Connection) {
  const auto issued = authority_.issue(apiHost().host);
  const auto documents = authority_.folder() / "documents";
  std::filesystem::create_directories(documents / "v0");
  std::ofstream(documents / "v0" / "hello.txt") << "hello over h2\n";
  testsupport::NghttpdServer nghttpd(issued.keyFile, issued.certificateFile, documents.string(),
                                     (authority_.folder() / "nghttpd.log").string());

  auto results = std::make_shared<Results>();
  auto client = URLSessionHTTPClient::create(
      URLSession::create(routedToLoopback(nghttpd.port(), authority_.caFile())), kUserAgent);
  constexpr std::size_t kTotal = 100;
  for (std::size_t i = 0; i < kTotal; ++i) {
    client->perform(URLRequest(apiBaseURL().appendingPathComponent("hello.txt")),
                    [results](HTTPClientResult result) { results->record(std::move(result)); });
  }
  ASSERT_TRUE(results->waitFor(kTotal, 60s));
  client.reset();
  EXPECT_EQ(results->count(), kTotal);
  for (const auto& entry : results->entries()) {
    ASSERT_TRUE(entry.value.hasValue()) << entry.value.error();
    EXPECT_EQ(entry.value.value().response().httpVersion(), "2");
    EXPECT_EQ(entry.value.value().response().statusCode(), 200);
    EXPECT_EQ(asText(entry.value.value().body()), "hello over h2\n");
  }
  EXPECT_EQ(nghttpd.requestCount(), kTotal);
  EXPECT_EQ(nghttpd.connectionCount(), 1u);
  std::printf("[ http2    ] %zu concurrent requests, %zu nghttpd connection(s)\n", kTotal,
              nghttpd.connectionCount());
}

}  // namespace
}  // namespace tamsenor
