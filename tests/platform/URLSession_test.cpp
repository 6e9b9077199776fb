// What a session puts on the wire, byte for byte, and what it hands back.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/FaultServer.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::describe;
using testsupport::FaultServer;
using testsupport::TaskOutcome;
using Recorder = CompletionRecorder<TaskOutcome>;

const std::string kGzipSeen(
    "\x1f\x8b\x08\0\0\0\0\0\x02\x03\x2b\x4e\x4d\xcd\x03\0\x18\x0a\x52\xa4\x04\0\0\0", 24);

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

// Records each request whole and answers it on the same kept-alive connection: "/moved/<status>"
// redirects to target_, "/missing" is 404, "/failing" 500, "/drip" sends ten bytes 200 ms apart,
// "/slow-head" its head a line every 400 ms, "/processing" four 102s 400 ms apart first,
// anything else 200 "seen" (HEAD without the body).
class URLSessionWire : public ::testing::Test {
 protected:
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
  }
  std::string elsewhere() const {
    return "http://127.0.0.1:" + std::to_string(target_.port()) + "/";
  }
  // Sends `pieces` 400 ms apart, then `rest`; empty once the server stopped meanwhile.
  static std::string slowly(FaultServer& server, int connection,
                            const std::vector<std::string>& pieces, std::string rest) {
    for (const auto& piece : pieces) {
      if (!server.send(connection, piece) || !server.pause(400ms)) return "";
    }
    return rest;
  }
  std::string answer(FaultServer& server, int connection, const std::string& request) const {
    const auto path = request.substr(0, request.find(" HTTP/1.1")).substr(request.find(' ') + 1);
    if (path.starts_with("/moved/")) {
      return "HTTP/1.1 " + path.substr(7) + " Moved\r\nLocation: " + elsewhere() +
             "\r\nContent-Length: 5\r\n\r\nmoved";
    }
    if (path == "/missing")
      return "HTTP/1.1 404 Not Found\r\nContent-Length: 13\r\n\r\nno such thing";
    if (path == "/failing") return "HTTP/1.1 500 Server Error\r\nContent-Length: 0\r\n\r\n";
    if (path == "/gzip") {
      return "HTTP/1.1 200 OK\r\nX-Reply: yes\r\nContent-Encoding: gzip\r\nContent-Length: "
             "24\r\n\r\n" +
             kGzipSeen;
    }
    if (path == "/drip") {
      server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
      for (char digit = '0'; digit < '9' && server.pause(200ms); ++digit) {
        server.send(connection, std::string(1, digit));
      }
      return server.pause(200ms) ? "9" : "";
    }
    if (path == "/slow-head") {
      return slowly(server, connection,
                    {"HTTP/1.1 200 OK\r\n", "X-A: 1\r\n", "X-B: 2\r\n", "X-C: 3\r\n"},
                    "Content-Length: 2\r\n\r\nok");
    }
    if (path == "/processing") {
      return slowly(server, connection,
                    std::vector<std::string>(4, "HTTP/1.1 102 Processing\r\n\r\n"),
                    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    }
    return "HTTP/1.1 200 OK\r\nX-Reply: yes\r\nContent-Length: 4\r\n\r\n" +
           std::string(request.starts_with("HEAD ") ? "" : "seen");
  }

  FaultServer target_{[](FaultServer&, int) {}};
  CompletionRecorder<std::string> requests_;
  FaultServer server_{[this](FaultServer& server, int connection) {
    while (const auto request = server.readRequest(connection)) {
      requests_.record(*request);
      server.send(connection, answer(server, connection, *request));
    }
  }};
};

// "METHOD path", then a "Name: value" line per field, then, after a blank line, the body if any.
URLRequest parsed(const std::string& text, const std::string& base) {
  const auto space = text.find(' ');
  const auto lineEnd = std::min(text.find('\n'), text.size());
  URLRequest request(*URL::parse(base + text.substr(space + 1, lineEnd - space - 1)));
  request.setHTTPMethod(text.substr(0, space));
  for (auto at = lineEnd + 1; at < text.size();) {
    const auto end = std::min(text.find('\n', at), text.size());
    if (end == at) {
      request.setHTTPBody(toData(text.substr(at + 1)));
      break;
    }
    const auto colon = text.find(": ", at);
    request.setValue(text.substr(colon + 2, end - colon - 2), text.substr(at, colon - at));
    at = end + 1;
  }
  return request;
}

// One connection for all rows: nothing of a request may carry over to the next on its handle.
// The session offers the codings it undoes, unless the record names its own: who names them
// undoes them.
TEST_F(URLSessionWire, SendsExactlyTheRecordAndDeliversTheAnswerAsItCame) {
  struct Row {
    std::string request;  // as parsed() reads it; "CLIENT " first: through URLSessionHTTPClient
    std::string sent;     // what follows the request line and the Host field
    std::string told = "200:seen";
  };
  // clang-format off
  std::vector<Row> rows{
      {"HEAD /wire\nAccept: text/plain\nX-One: 1", "Accept: text/plain\r\nX-One: 1\r\n\r\n", "200:"},
      {"POST /wire\n\nafter head", "Content-Length: 10\r\n\r\nafter head"},
      {"POST /wire\nContent-Type: application/json\nX-Trace: abc\n\n{\"a\":1}",
       "Content-Type: application/json\r\nX-Trace: abc\r\nContent-Length: 7\r\n\r\n{\"a\":1}"},
      {"PUT /wire\n\nraw", "Content-Length: 3\r\n\r\nraw"},
      {"POST /wire\n\n", "Content-Length: 0\r\n\r\n"},
      {"POST /wire", "Content-Length: 0\r\n\r\n"},
      {"DELETE /wire\n\ngone", "Content-Length: 4\r\n\r\ngone"},
      {"DELETE /wire", "\r\n"},
      {"GET /wire?q=1\nX-Trace: abc\nX-Empty: \nX-Blank:  \t ", "X-Trace: abc\r\nX-Empty:\r\nX-Blank:\r\n\r\n"},
      {"GET /wire", "\r\n"},
      {"CLIENT POST /wire\naccept: text/html\nUser-Agent: Old/0.1\nX-Other: keep\n\n{}",
       "accept: application/json\r\nUser-Agent: Wire/1\r\nX-Other: keep\r\nContent-Length: 2\r\n\r\n{}"},
      {"CLIENT GET /wire", "Accept: application/json\r\nUser-Agent: Wire/1\r\n\r\n"},
      {"GET /failing", "\r\n", "500:"},
      {"GET /missing", "\r\n", "404:no such thing"},
      {"GET /gzip", "\r\n", "200:seen"},
      {"GET /gzip\nAccept-Encoding: gzip", "Accept-Encoding: gzip\r\n\r\n", "200:" + kGzipSeen}};
  // clang-format on
  for (const std::string status : {"301", "302", "303", "307", "308"}) {
    rows.push_back({"GET /moved/" + status + "\nAuthorization: Bearer t",
                    "Authorization: Bearer t\r\n\r\n", status + ":moved"});
  }
  auto session = URLSession::create(plainHTTP());
  auto client = URLSessionHTTPClient::create(session, "Wire/1");
  auto outcomes = std::make_shared<Recorder>();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n";
  const std::string offer = "Accept-Encoding: deflate, gzip, br, zstd\r\n";
  std::size_t sent = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].request);
    const bool viaClient = rows[i].request.starts_with("CLIENT ");
    const auto request = parsed(rows[i].request.substr(viaClient ? 7 : 0), url(""));
    if (viaClient) {
      EXPECT_EQ(describe(testsupport::sendAndWait(*client, request)), rows[i].told);
    } else {
      session->dataTask(request, testsupport::recordInto(outcomes)).resume();
      ASSERT_TRUE(outcomes->waitFor(++sent));
    }
    ASSERT_EQ(requests_.count(), i + 1);
    EXPECT_EQ(requests_.values().back(),
              request.httpMethod() + " " + request.url().absoluteString().substr(url("").size()) +
                  " HTTP/1.1\r\n" + host + (request.value("Accept-Encoding") ? "" : offer) +
                  rows[i].sent);
  }
  client.reset();
  testsupport::releaseSessionHere(session);  // nothing can still be on its way to the target
  EXPECT_EQ(server_.acceptCount(), 1u);
  EXPECT_EQ(target_.acceptCount(), 0u);
  const auto entries = outcomes->entries();
  std::size_t entry = 0;
  for (const auto& row : rows) {
    if (row.request.starts_with("CLIENT ")) continue;
    SCOPED_TRACE(row.request);
    const auto& [outcome, thread] = entries.at(entry++);
    EXPECT_EQ(describe(outcome), row.told);
    ASSERT_NE(outcome.http(), nullptr);
    const auto& fields = outcome.http()->allHeaderFields();
    EXPECT_EQ(fields.value("location"),
              row.told.ends_with(":moved") ? std::optional(elsewhere()) : std::nullopt);
    EXPECT_EQ(fields.value("x-reply"),
              row.told.starts_with("200:") ? std::optional("yes") : std::nullopt);
    if (row.request.starts_with("GET /gzip")) {  // as sent, whatever was decoded
      EXPECT_EQ(fields.value("content-encoding"), "gzip");
      EXPECT_EQ(fields.value("content-length"), "24");
    }
    EXPECT_EQ(outcome.http()->httpVersion(), "1.1");
    EXPECT_LE(outcome.http()->timings().connect, outcome.http()->timings().firstByte);
    EXPECT_LE(outcome.http()->timings().firstByte, outcome.http()->timings().total);
    EXPECT_GT(outcome.http()->timings().total, 0.0);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(thread, entries.front().thread);
  }
}

TEST_F(URLSessionWire, SettingsDecideTheOutcome) {
  const auto noCA = (std::filesystem::temp_directory_path() / "tamsenor-no-such-ca.pem").string();
  const std::string timedOut = std::to_string(CURLE_OPERATION_TIMEDOUT) + " Timeout was reached: ";
  struct Row {
    std::string url;
    std::string told;
    std::size_t bodyLimit = 0;
    std::optional<std::string> caFile{};
    double timeout = 0;  // 0: the request's own
    double resourceLimit = 0;
    bool queued = false;  // behind a drip that holds the only connection
    std::chrono::milliseconds atLeast{0};
    std::chrono::milliseconds below{2500};
  };
  // clang-format off
  const std::vector<Row> rows{
      {url("/wire"), "200:seen", 4},
      {url("/missing"), std::to_string(CURLE_FILESIZE_EXCEEDED) +
           " Maximum file size exceeded: the response body is over the limit of 4 bytes []", 4},
      {url("/wire"), "200:seen", 0, noCA},
      {"https://127.0.0.1:" + std::to_string(target_.port()) + "/",
       std::to_string(CURLE_SSL_CACERT_BADFILE) + " Problem with the SSL CA cert (path? access "
           "rights?): no PEM certificate could be read from " + noCA + " [invalidConfiguration]",
       0, noCA},
      {"ftp://127.0.0.1:" + std::to_string(target_.port()) + "/", std::to_string(
           URLError::unsupportedScheme) + " URL scheme \"ftp\" is not allowed in this session "
           "[invalidConfiguration]"},
      // Idleness is what times out: whatever moves, head lines, interim answers or body bytes,
      // keeps an exchange going; a wait for a connection does not.
      {url("/drip"), "200:0123456789", 0, {}, 1.0, 0, false, 1800ms},
      {url("/slow-head"), "200:ok", 0, {}, 1.0, 0, false, 1200ms},
      {url("/processing"), "200:ok", 0, {}, 1.0, 0, false, 1600ms},
      {url("/wire"), timedOut + "no data moved for 1000 ms [timedOut]", 0, {}, 1.0, 0, true,
       950ms, 1500ms},
      {url("/drip"), timedOut + "the task ran past the session's timeoutIntervalForResource of 700 "
           "ms [timedOut]", 0, {}, 1.0, 0.7, false, 650ms, 1200ms}};
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url + " " + row.told);
    auto configuration = plainHTTP();
    configuration.allowedSchemes.push_back("https");
    configuration.maxResponseBodyBytes = row.bodyLimit;
    configuration.additionalCABundlePath = row.caFile;
    configuration.timeoutIntervalForResource = row.resourceLimit;
    configuration.maxConnectionsPerHost = 1;
    auto session = URLSession::create(configuration);
    auto blocker = std::make_shared<Recorder>();
    if (row.queued) {
      session->dataTask(URLRequest(*URL::parse(url("/drip"))), testsupport::recordInto(blocker))
          .resume();
    }
    URLRequest request(*URL::parse(row.url));
    if (row.timeout > 0) request.setTimeoutInterval(row.timeout);
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = testsupport::sendAndWait(*session, request);
    EXPECT_EQ(describe(outcome), row.told);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, row.atLeast);
    EXPECT_LT(elapsed, row.below);
    if (outcome.http()) {  // in seconds, within what this thread saw
      EXPECT_GE(outcome.http()->timings().total,
                std::chrono::duration<double>(row.atLeast).count());
      EXPECT_LE(outcome.http()->timings().total, std::chrono::duration<double>(elapsed).count());
    }
    testsupport::releaseSessionHere(session);
    if (row.queued) {
      EXPECT_EQ(describe(blocker->entries().at(0).value), "200:0123456789");
    }
  }
  // Every row's request reached the server but the CA file's, the scheme's and the queued one;
  // the drip that the queued one waited behind did.
  EXPECT_EQ(requests_.count(), rows.size() - 2);
  EXPECT_EQ(target_.acceptCount(), 0u);
}

TEST_F(URLSessionWire, AThrowingHandlerIsReportedOrDroppedAndTheLoopGoesOn) {
  auto thrown = std::make_shared<CompletionRecorder<bool>>();
  auto configuration = plainHTTP();
  configuration.onHandlerException = [thrown](std::exception_ptr) { thrown->record(true); };
  const URLRequest request(*URL::parse(url("/wire")));
  for (auto session : {URLSession::create(configuration), URLSession::create(plainHTTP())}) {
    auto ran = std::make_shared<CompletionRecorder<bool>>();  // the server takes one at a time
    session
        ->dataTask(request,
                   [ran](auto, auto, auto) {
                     ran->record(true);
                     throw std::runtime_error("thrown");
                   })
        .resume();
    ASSERT_TRUE(ran->waitFor(1));
    EXPECT_EQ(describe(testsupport::sendAndWait(*session, request)), "200:seen");
    session->finishTasksAndInvalidate();
  }
  EXPECT_EQ(thrown->count(), 1u);
}

TEST_F(URLSessionWire, ATaskIsSentOnceResumedAndOnlyOnce) {
  auto session = URLSession::create(plainHTTP());
  auto outcomes = std::make_shared<Recorder>();
  const URLRequest request(*URL::parse(url("/")));
  { auto never = session->dataTask(request, testsupport::recordInto(outcomes)); }
  auto twice = session->dataTask(request, testsupport::recordInto(outcomes));
  twice.resume();
  twice.resume();
  testsupport::releaseSessionHere(session);
  EXPECT_EQ(outcomes->count(), 1u);
  EXPECT_EQ(requests_.count(), 1u);
}

// Over TLS requests wait to share a connection; plain HTTP never multiplexes, so never waits.
TEST(URLSessionTLS, MultiplexesOverHTTP2AndNeverWaitsToOverPlainHTTP) {
  using testsupport::FaultBench;
  constexpr std::size_t kPings = 10;
  constexpr std::size_t kSlow = 4;
  std::atomic<std::size_t> atOnce{0};
  FaultServer plain([&](FaultServer& self, int first) {
    auto connections = self.acceptMore(kSlow - 1, 2s);  // the others, unless they queue
    connections.insert(connections.begin(), first);
    atOnce = connections.size();
    for (const int connection : connections) {
      if (self.readRequestHead(connection)) {
        self.send(connection,
                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
      }
      if (connection != first) ::close(connection);
    }
  });
  // Benches whose fault never comes: HTTP/1.1 over TLS, and HTTP/2.
  for (const auto fault :
       {FaultBench::Fault::untrustedCertificate, FaultBench::Fault::http2StreamReset}) {
    const bool http2 = fault == FaultBench::Fault::http2StreamReset;
    SCOPED_TRACE(http2 ? "HTTP/2" : "HTTP/1.1");
    FaultBench server(fault, [](std::size_t) { return FaultBench::Step::ok; });
    auto configuration = server.configuration();  // HTTP/2 on, as shipped
    configuration.allowedSchemes = {"https", "http"};
    auto session = URLSession::create(configuration);
    auto outcomes = std::make_shared<Recorder>();
    for (std::size_t i = 0; i < kPings + kSlow; ++i) {
      session
          ->dataTask(
              i < kPings
                  ? URLRequest(apiBaseURL().appendingPathComponent("ping"))
                  : URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(plain.port()))),
              testsupport::recordInto(outcomes))
          .resume();
    }
    ASSERT_TRUE(outcomes->waitFor(kPings + kSlow, 30s));
    testsupport::releaseSessionHere(session);
    std::vector<std::string> versions;
    double handshake = 0;  // only the first request on a connection has one
    for (const auto& [outcome, thread] : outcomes->entries()) {
      EXPECT_EQ(describe(outcome), "200:ok");
      versions.push_back(outcome.http() ? outcome.http()->httpVersion() : "");
      if (outcome.http()) handshake = std::max(handshake, outcome.http()->timings().tlsHandshake);
    }
    EXPECT_GT(handshake, 0.0);
    std::sort(versions.begin(), versions.end());
    auto expected = std::vector<std::string>(kSlow, "1.1");
    expected.resize(kSlow + kPings, http2 ? "2" : "1.1");
    EXPECT_EQ(versions, expected);
    EXPECT_EQ(http2 ? server.serverAttempts() : server.heads().size(), kPings);
    EXPECT_EQ(server.connections(), http2 ? 1u : kPings);
    EXPECT_EQ(atOnce.exchange(0), kSlow);
  }
}

// A server may answer before it has read the request's body; the exchange ends with the answer,
// not with the body that nobody reads any more.
TEST(URLSessionEarlyAnswer, ArrivesWhileTheRequestBodyIsStillGoingOut) {
  FaultServer server([](FaultServer& self, int connection) {
    if (!self.readRequestHead(connection)) return;
    self.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nreceived");
    self.waitUntilStopped();  // reading nothing more
  });
  auto session = URLSession::create(plainHTTP());
  URLRequest upload(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  upload.setHTTPMethod("POST");
  upload.setHTTPBody(Data(16 * 1024 * 1024, 'b'));  // more than the socket buffers hold
  upload.setTimeoutInterval(5);
  EXPECT_EQ(describe(testsupport::sendAndWait(*session, upload)), "200:received");
  testsupport::releaseSessionHere(session);
}

// A name lookup that takes its time holds up nothing but its own request: not the request's
// time-out, not another request, not the session's end.
TEST_F(URLSessionWire, ASlowNameLookupHoldsUpNothingElse) {
  auto session = URLSession::create(plainHTTP());
  const auto started = std::chrono::steady_clock::now();
  const auto since = [started] { return std::chrono::steady_clock::now() - started; };
  auto slow = std::make_shared<Recorder>();
  URLRequest lookup(*URL::parse("http://a.slow-lookup.test:" + std::to_string(server_.port())));
  lookup.setTimeoutInterval(1.0);
  session->dataTask(lookup, testsupport::recordInto(slow)).resume();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(describe(testsupport::sendAndWait(*session, URLRequest(*URL::parse(url("/wire"))))),
            "200:seen");
  EXPECT_LT(since(), 500ms);
  ASSERT_TRUE(slow->waitFor(1, 5s));
  EXPECT_EQ(describe(slow->entries().front().value),
            std::to_string(CURLE_OPERATION_TIMEDOUT) +
                " Timeout was reached: no data moved for 1000 ms [timedOut]");
  EXPECT_GE(since(), 1000ms);
  EXPECT_LT(since(), 1500ms);
  lookup.setTimeoutInterval(60);
  session->dataTask(lookup, testsupport::recordInto(slow)).resume();
  std::this_thread::sleep_for(50ms);
  session->invalidateAndCancel();
  EXPECT_LT(since(), 2000ms);  // the lookup takes 4 s
  ASSERT_EQ(slow->count(), 2u);
  EXPECT_EQ(describe(slow->entries().back().value),
            std::to_string(URLError::cancelled) +
                " cancelled: the URL session was invalidated [cancelled]");
}

TEST(URLSessionHTTPClient, ClassifiesWhatATaskReceived) {
  const URL url = *URL::parse("https://a.example/");
  const auto http = std::make_shared<const HTTPURLResponse>(url, 503);
  const URLError timeout(URLError::operationTimedOut, "Timeout was reached");
  const auto unexpected = HTTPClientError::unexpectedResponseType();
  struct Row {
    std::optional<Data> body;
    std::shared_ptr<const URLResponse> response;
    std::optional<URLError> error;
    std::optional<HTTPClientError> expected;  // nothing: a success with that very response
  };
  for (const auto& row : std::vector<Row>{
           {toData("x"), http, timeout, HTTPClientError::networkError(timeout)},  // error first
           {{}, http, {}, unexpected},
           {toData("x"), nullptr, {}, unexpected},
           {toData("x"), std::make_shared<const URLResponse>(url), {}, unexpected},
           {Data{}, http, {}, {}}}) {
    const auto result = URLSessionHTTPClient::classify(row.body, row.response, row.error);
    EXPECT_EQ(result.has_value() ? std::nullopt : std::optional(result.error()), row.expected);
    EXPECT_EQ(result.has_value() ? &result->response() : nullptr,
              row.expected ? nullptr : http.get());
  }
}

}  // namespace
}  // namespace tamsenor
