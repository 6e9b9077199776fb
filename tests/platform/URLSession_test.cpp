// What a session puts on the wire, byte for byte, and what it hands back.
#include "tamsenor/platform/URLSession.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/SendAndWait.hpp"
#include "support/TLSFaultServer.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::sendAndWait;
using testsupport::TaskOutcome;

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
  for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size())) {
    text.replace(at, mark.size(), by);
  }
  return text;
}

// "<status>:<body>" for an answer, "<code> <description>" for an error.
std::string told(const TaskOutcome& outcome) {
  if (outcome.error)
    return std::to_string(outcome.error->code()) + " " + outcome.error->description();
  if (!outcome.http() || !outcome.body) return "no HTTP answer";
  return std::to_string(outcome.http()->statusCode()) + ":" + std::string(asText(*outcome.body));
}

// A raw server that records every request whole and answers it on the same kept-alive connection:
// "/moved/<status>" redirects to a server that counts its connections, "/missing" is 404,
// "/failing" 500, "/drip" sends ten bytes 200 ms apart, anything else is 200 "seen" (HEAD without
// the body).
class URLSessionWire : public ::testing::Test {
 protected:
  std::string base() const { return "http://127.0.0.1:" + std::to_string(server_.port()); }
  std::string elsewhere() const {
    return "http://127.0.0.1:" + std::to_string(target_.port()) + "/elsewhere";
  }
  URLRequest request(const std::string& path) const {
    return URLRequest(*URL::parse(base() + path));
  }

  std::string answerTo(FaultServer& server, int connection, const std::string& request) const {
    const auto start = request.find(' ') + 1;
    const auto path = request.substr(start, request.find(' ', start) - start);
    if (path.starts_with("/moved/")) {
      return "HTTP/1.1 " + path.substr(7) + " Moved\r\nLocation: " + elsewhere() +
             "\r\nContent-Length: 5\r\n\r\nmoved";
    }
    if (path == "/missing")
      return "HTTP/1.1 404 Not Found\r\nContent-Length: 13\r\n\r\nno such thing";
    if (path == "/failing")
      return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
    if (path == "/drip") {
      server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
      for (char digit = '0'; digit < '9' && server.pause(200ms); ++digit) {
        server.send(connection, std::string(1, digit));
      }
      return server.pause(200ms) ? "9" : "";
    }
    return "HTTP/1.1 200 OK\r\nX-Reply: yes\r\nContent-Length: 4\r\n\r\n" +
           std::string(request.starts_with("HEAD ") ? "" : "seen");
  }

  FaultServer target_{[](FaultServer&, int) {}};
  CompletionRecorder<std::string> requests_;
  FaultServer server_{[this](FaultServer& server, int connection) {
    while (const auto request = server.readRequest(connection)) {
      requests_.record(*request);
      server.send(connection, answerTo(server, connection, *request));
    }
  }};
};

struct WireRow {
  const char* label;
  std::function<void(URLRequest&)> change;
  std::string sent;  // "{host}" stands for 127.0.0.1:<port>
  std::string told = "200:seen";
  bool viaClient = false;  // through URLSessionHTTPClient with user agent "Wire/1"
};

// One session sends them all in turn on one connection, so each starts on a handle the one before
// used: nothing of a request (method, body, fields) may carry over to the next.
TEST_F(URLSessionWire, SendsExactlyTheRecordPlusHostAndLength) {
  const std::vector<WireRow> rows{
      {"HeadWithFields",
       [](URLRequest& r) {
         r.setHTTPMethod("HEAD");
         r.setValue("text/plain", "Accept");
         r.setValue("1", "X-One");
       },
       "HEAD /wire HTTP/1.1\r\nHost: {host}\r\nAccept: text/plain\r\nX-One: 1\r\n\r\n", "200:"},
      {"PostWithoutContentType",
       [](URLRequest& r) {
         r.setHTTPMethod("POST");
         r.setHTTPBody(toData("after head"));
       },
       "POST /wire HTTP/1.1\r\nHost: {host}\r\nContent-Length: 10\r\n\r\nafter head"},
      {"PostJSON",
       [](URLRequest& r) {
         r.setHTTPMethod("POST");
         r.setValue("application/json", "Content-Type");
         r.setValue("abc", "X-Trace");
         r.setHTTPBody(toData(R"({"a":1})"));
       },
       "POST /wire HTTP/1.1\r\nHost: {host}\r\nContent-Type: application/json\r\nX-Trace: abc\r\n"
       "Content-Length: 7\r\n\r\n{\"a\":1}"},
      {"Put",
       [](URLRequest& r) {
         r.setHTTPMethod("PUT");
         r.setHTTPBody(toData("raw"));
       },
       "PUT /wire HTTP/1.1\r\nHost: {host}\r\nContent-Length: 3\r\n\r\nraw"},
      {"PostEmptyBody",
       [](URLRequest& r) {
         r.setHTTPMethod("POST");
         r.setHTTPBody(Data{});
       },
       "POST /wire HTTP/1.1\r\nHost: {host}\r\nContent-Length: 0\r\n\r\n"},
      {"PostNoBody", [](URLRequest& r) { r.setHTTPMethod("POST"); },
       "POST /wire HTTP/1.1\r\nHost: {host}\r\nContent-Length: 0\r\n\r\n"},
      {"DeleteWithBody",
       [](URLRequest& r) {
         r.setHTTPMethod("DELETE");
         r.setHTTPBody(toData("gone"));
       },
       "DELETE /wire HTTP/1.1\r\nHost: {host}\r\nContent-Length: 4\r\n\r\ngone"},
      {"Delete", [](URLRequest& r) { r.setHTTPMethod("DELETE"); },
       "DELETE /wire HTTP/1.1\r\nHost: {host}\r\n\r\n"},
      // libcurl alone would drop the blank value and add "Accept: */*" to a record without one.
      {"GetWithEmptyAndBlankValues",
       [](URLRequest& r) {
         r.setURL(*URL::parse(r.url().absoluteString() + "?q=1"));
         r.setValue("abc", "X-Trace");
         r.setValue("", "X-Empty");
         r.setValue(" \t ", "X-Blank");
       },
       "GET /wire?q=1 HTTP/1.1\r\nHost: {host}\r\nX-Trace: abc\r\nX-Empty:\r\nX-Blank:\r\n\r\n"},
      {"Get", {}, "GET /wire HTTP/1.1\r\nHost: {host}\r\n\r\n"},
      {"ClientReplacesAcceptAndUserAgentInPlace",
       [](URLRequest& r) {
         r.setHTTPMethod("POST");
         r.setValue("text/html", "accept");
         r.setValue("Old/0.1", "User-Agent");
         r.setValue("keep me", "X-Other");
         r.setHTTPBody(toData("{}"));
       },
       "POST /wire HTTP/1.1\r\nHost: {host}\r\naccept: application/json\r\nUser-Agent: Wire/1\r\n"
       "X-Other: keep me\r\nContent-Length: 2\r\n\r\n{}",
       "200:seen", true},
      {"ClientAddsAcceptAndUserAgent",
       {},
       "GET /wire HTTP/1.1\r\nHost: {host}\r\nAccept: application/json\r\nUser-Agent: "
       "Wire/1\r\n\r\n",
       "200:seen",
       true},
  };
  auto session = URLSession::create(plainHTTP());
  auto client = URLSessionHTTPClient::create(session, "Wire/1");
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].label);
    auto sent = request("/wire");
    if (rows[i].change) rows[i].change(sent);
    EXPECT_EQ(rows[i].viaClient ? testsupport::describe(sendAndWait(*client, sent))
                                : told(sendAndWait(*session, sent)),
              rows[i].told);
    ASSERT_EQ(requests_.count(), i + 1);
    EXPECT_EQ(requests_.values().back(), replaced(rows[i].sent, "{host}", host));
  }
  client.reset();
  testsupport::releaseSessionHere(session);
  EXPECT_EQ(server_.acceptCount(), 1u);
}

TEST_F(URLSessionWire, DeliversEveryAnswerAsItCameOnTheLoopThreadAndFollowsNoRedirect) {
  struct Row {
    std::string path;
    std::string told;
    std::optional<std::string> location;
  };
  std::vector<Row> rows{{"/wire", "200:seen", std::nullopt},
                        {"/failing", "500:", std::nullopt},
                        {"/missing", "404:no such thing", std::nullopt}};
  for (const auto* status : {"301", "302", "303", "307", "308"}) {
    rows.push_back({std::string("/moved/") + status, std::string(status) + ":moved", elsewhere()});
  }
  auto session = URLSession::create(plainHTTP());
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  for (std::size_t i = 0; i < rows.size(); ++i) {  // one at a time, on one connection
    auto sent = request(rows[i].path);
    sent.setValue("Bearer secret", "Authorization");
    session->dataTask(sent, testsupport::recordInto(recorder)).resume();
    ASSERT_TRUE(recorder->waitFor(i + 1));
  }
  testsupport::releaseSessionHere(session);  // nothing can still be on its way to the target
  const auto entries = recorder->entries();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].path);
    const auto& outcome = entries[i].value;
    EXPECT_EQ(told(outcome), rows[i].told);
    ASSERT_NE(outcome.http(), nullptr);
    EXPECT_EQ(outcome.http()->allHeaderFields().value("location"), rows[i].location);
    EXPECT_EQ(outcome.http()->url().absoluteString(), base() + rows[i].path);
    EXPECT_EQ(outcome.http()->httpVersion(), "1.1");
    const auto& timings = outcome.http()->timings();
    EXPECT_GT(timings.total, 0.0);
    EXPECT_LE(timings.connect, timings.firstByte);
    EXPECT_LE(timings.firstByte, timings.total);
    EXPECT_NE(entries[i].thread, std::this_thread::get_id());
    EXPECT_EQ(entries[i].thread, entries[0].thread);
  }
  EXPECT_EQ(told(entries[0].value), "200:seen");
  EXPECT_EQ(entries[0].value.http()->allHeaderFields().value("x-reply"), "yes");
  EXPECT_EQ(target_.acceptCount(), 0u);
}

// Only idleness counts against the interval: a slow drip that never pauses 1 s succeeds.
TEST_F(URLSessionWire, ASlowDripWithinTheTimeoutIntervalSucceeds) {
  auto session = URLSession::create(plainHTTP());
  auto drip = request("/drip");
  drip.setTimeoutInterval(1.0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(told(sendAndWait(*session, drip)), "200:0123456789");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1800ms);
}

TEST_F(URLSessionWire, SessionSettingsDecideTheOutcome) {
  const auto missingCA =
      (std::filesystem::temp_directory_path() / "tamsenor-no-such-ca.pem").string();
  struct Row {
    const char* label;
    std::function<void(URLSessionConfiguration&)> configure;
    std::string url;  // "{base}" stands for the server
    std::string told;
  };
  const std::vector<Row> rows{
      {"BodyWithinTheLimit", [](auto& c) { c.maxResponseBodyBytes = 4; }, "{base}/wire",
       "200:seen"},
      {"BodyOverTheLimit", [](auto& c) { c.maxResponseBodyBytes = 4; }, "{base}/missing",
       std::to_string(CURLE_FILESIZE_EXCEEDED) +
           " Maximum file size exceeded: the response body is over the limit of 4 bytes"},
      {"UnreadableCABundleLeavesPlainHTTPAlone",
       [&](auto& c) { c.additionalCABundlePath = missingCA; }, "{base}/wire", "200:seen"},
      {"UnreadableCABundleFailsHTTPSUnsent",
       [&](auto& c) {
         c.additionalCABundlePath = missingCA;
         c.allowedSchemes = {"http", "https"};
       },
       "https://127.0.0.1:" + std::to_string(target_.port()) + "/",
       std::to_string(CURLE_SSL_CACERT_BADFILE) +
           " Problem with the SSL CA cert (path? access rights?): no PEM certificate could be read "
           "from " +
           missingCA},
      {"SchemeNotAllowed", [](auto& c) { c.allowedSchemes = {"https"}; }, "{base}/wire",
       std::to_string(URLError::unsupportedScheme) +
           " URL scheme \"http\" is not allowed in this session"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    auto configuration = plainHTTP();
    row.configure(configuration);
    auto session = URLSession::create(configuration);
    EXPECT_EQ(
        told(sendAndWait(*session, URLRequest(*URL::parse(replaced(row.url, "{base}", base()))))),
        row.told);
    testsupport::releaseSessionHere(session);
  }
  EXPECT_EQ(requests_.count(), 3u);
  EXPECT_EQ(target_.acceptCount(), 0u);
}

URLSessionConfiguration routedToLoopback(std::uint16_t port, const std::string& caFile) {
  URLSessionConfiguration configuration;  // https only, as shipped
  configuration.additionalCABundlePath = caFile;
  const auto api = testsupport::apiHost();
  configuration.hostOverrides = {{api.host, api.port, "127.0.0.1", port}};
  return configuration;
}

// The API host's name is verified against the extra CA while the override routes it to loopback;
// HTTP/2 is spoken where the server offers it, its requests multiplexed on one connection.
TEST(URLSessionTLS, ReachesTheAPIHostOverHTTP1OrMultiplexedHTTP2) {
  tools::LocalCertificateAuthority authority;
  const auto issued = authority.issue(testsupport::apiHost().host);
  const URL ping = apiBaseURL().appendingPathComponent("ping");
  testsupport::LoopbackHTTPServer http1(issued.certificateFile, issued.keyFile);
  http1.server().Get("/v0/ping", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("pong", "text/plain");
  });
  http1.start();
  auto session = URLSession::create(
      routedToLoopback(static_cast<std::uint16_t>(http1.port()), authority.caFile()));
  const auto outcome = sendAndWait(*session, URLRequest(ping));
  EXPECT_EQ(told(outcome), "200:pong");
  ASSERT_NE(outcome.http(), nullptr);
  EXPECT_EQ(outcome.http()->url(), ping);
  EXPECT_EQ(outcome.http()->httpVersion(), "1.1");
  EXPECT_GT(outcome.http()->timings().tlsHandshake, 0.0);
  testsupport::releaseSessionHere(session);

  using testsupport::TLSFaultServer;
  TLSFaultServer http2(
      TLSFaultServer::Protocol::http2, issued, issued,
      [](std::size_t, std::size_t) { return TLSFaultServer::Action::ok; },
      [](std::size_t) { return false; });
  session = URLSession::create(routedToLoopback(http2.port(), authority.caFile()));
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  constexpr std::size_t kRequests = 20;
  for (std::size_t i = 0; i < kRequests; ++i) {
    session->dataTask(URLRequest(ping), testsupport::recordInto(recorder)).resume();
  }
  ASSERT_TRUE(recorder->waitFor(kRequests, 30s));
  testsupport::releaseSessionHere(session);
  for (const auto& entry : recorder->entries()) {
    EXPECT_EQ(told(entry.value), "200:ok");
    EXPECT_EQ(entry.value.http() ? entry.value.http()->httpVersion() : "", "2");
  }
  EXPECT_EQ(http2.requestCount(), kRequests);
  EXPECT_EQ(http2.connectionCount(), 1u);
}

// HTTP/1.1 never multiplexes: slow plain-HTTP requests each get a connection at once instead of
// queueing for one that might.
TEST(URLSessionTLS, PlainHTTPRequestsDoNotWaitToMultiplex) {
  constexpr std::size_t kRequests = 4;
  std::atomic<std::size_t> mostAtOnce{0};
  FaultServer server([&](FaultServer& self, int first) {
    auto connections = self.acceptMore(kRequests - 1, 2s);  // the others, unless they queue
    connections.insert(connections.begin(), first);
    mostAtOnce = connections.size();
    for (const int connection : connections) {
      if (self.readRequestHead(connection)) {
        self.send(connection,
                  "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nslow");
      }
      if (connection != first) ::close(connection);
    }
  });
  auto session = URLSession::create(plainHTTP());  // HTTP/2 on, as shipped
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  for (std::size_t i = 0; i < kRequests; ++i) {
    session
        ->dataTask(
            URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/")),
            testsupport::recordInto(recorder))
        .resume();
  }
  ASSERT_TRUE(recorder->waitFor(kRequests, 30s));
  testsupport::releaseSessionHere(session);
  for (const auto& entry : recorder->entries()) EXPECT_EQ(told(entry.value), "200:slow");
  EXPECT_EQ(mostAtOnce.load(), kRequests);
}

TEST_F(URLSessionWire, AThrowingHandlerIsReportedAndTheLoopGoesOn) {
  CompletionRecorder<std::string> thrown;
  auto configuration = plainHTTP();
  configuration.onHandlerException = [&](std::exception_ptr exception) {
    try {
      std::rethrow_exception(exception);
    } catch (const std::runtime_error& error) {
      thrown.record(error.what());
    }
  };
  for (auto session : {URLSession::create(configuration), URLSession::create(plainHTTP())}) {
    // The next request waits for the throw: the server serves one connection at a time.
    auto ran = std::make_shared<CompletionRecorder<bool>>();
    session
        ->dataTask(request("/wire"),
                   [ran](auto, auto, auto) {
                     ran->record(true);
                     throw std::runtime_error("thrown");
                   })
        .resume();
    ASSERT_TRUE(ran->waitFor(1));
    EXPECT_EQ(told(sendAndWait(*session, request("/wire"))), "200:seen");
    session->finishTasksAndInvalidate();
  }
  EXPECT_EQ(thrown.values(), std::vector<std::string>{"thrown"});
}

TEST_F(URLSessionWire, ATaskSendsOnlyOnceResumedAndOnlyOnce) {
  auto session = URLSession::create(plainHTTP());
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  { auto neverResumed = session->dataTask(request("/wire"), testsupport::recordInto(recorder)); }
  auto twice = session->dataTask(request("/wire"), testsupport::recordInto(recorder));
  twice.resume();
  twice.resume();
  ASSERT_TRUE(recorder->waitFor(1));
  testsupport::releaseSessionHere(session);
  EXPECT_EQ(recorder->count(), 1u);
  EXPECT_EQ(requests_.count(), 1u);
}

}  // namespace
}  // namespace tamsenor
