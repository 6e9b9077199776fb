#include "tamsenor/platform/URLSession.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/TaskOutcome.hpp"

namespace tamsenor {
namespace {

using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::LoopbackHTTPServer;
using testsupport::TaskOutcome;
using Fields = std::vector<std::pair<std::string, std::string>>;

URLSessionConfiguration plainHTTP() {
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  return configuration;
}

URL urlOf(const std::string& text) { return *URL::parse(text); }

// The fields as they arrived, minus the entries cpp-httplib adds to describe the socket.
Fields wireFields(const httplib::Request& request) {
  Fields fields;
  for (const auto& [name, value] : request.headers) {
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    fields.emplace_back(name, value);
  }
  std::sort(fields.begin(), fields.end());
  return fields;
}

struct SeenRequest {
  std::string method;
  Fields fields;
  std::string body;
};

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(seenMutex_);
      seen_.push_back({request.method, wireFields(request), request.body});
      response.set_content("seen", "text/plain");
    };
    server_.server().Get("/seen", record);
    server_.server().Post("/seen", record);
    server_.server().Put("/seen", record);
    server_.server().Delete("/seen", record);
    server_.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
      response.set_header("X-Reply", "yes");
      response.set_content("hi", "text/plain");
    });
    server_.server().Get("/status/500", [](const httplib::Request&, httplib::Response& response) {
      response.status = 500;
    });
    server_.server().Get("/status/404", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("no such thing", "text/plain");
    });
    server_.server().Get("/big", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(bigBody(), "application/octet-stream");
    });
    server_.start();
  }

  static const std::string& bigBody() {
    static const std::string kBigBody = [] {
      std::string text(64u << 20, '\0');
      for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>((i * 7 + i / 4099));
      return text;
    }();
    return kBigBody;
  }

  URLRequest request(const std::string& path) const {
    return URLRequest(urlOf(server_.baseURL() + path));
  }

  TaskOutcome sendAndWait(const std::shared_ptr<URLSession>& session, URLRequest request) {
    auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
    session->dataTask(std::move(request), testsupport::recordInto(recorder)).resume();
    EXPECT_TRUE(recorder->waitFor(1));
    auto entries = recorder->entries();
    if (entries.empty()) return {};
    return entries.front().value;
  }

  std::vector<SeenRequest> seen() {
    std::lock_guard lock(seenMutex_);
    return seen_;
  }

  LoopbackHTTPServer server_;
  std::mutex seenMutex_;
  std::vector<SeenRequest> seen_;
};

TEST_F(URLSessionTest, DeliversStatusHeadersBodyVersionAndTimingsOnTheLoopThread) {
  auto session = URLSession::create(plainHTTP());
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  session->dataTask(request("/hello"), testsupport::recordInto(recorder)).resume();
  session->dataTask(request("/hello"), testsupport::recordInto(recorder)).resume();
  ASSERT_TRUE(recorder->waitFor(2));

  const auto entries = recorder->entries();
  for (const auto& entry : entries) {
    const auto& outcome = entry.value;
    ASSERT_FALSE(outcome.error.has_value()) << *outcome.error;
    ASSERT_TRUE(outcome.body.has_value());
    EXPECT_EQ(asText(*outcome.body), "hi");
    const auto* http = outcome.http();
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(http->url().absoluteString(), server_.baseURL() + "/hello");
    EXPECT_EQ(http->allHeaderFields().value("x-reply"), "yes");
    EXPECT_EQ(http->allHeaderFields().value("Content-Length"), "2");
    EXPECT_EQ(http->httpVersion(), "1.1");
    EXPECT_GT(http->timings().total, 0.0);
    EXPECT_LE(http->timings().firstByte, http->timings().total);
    EXPECT_LE(http->timings().connect, http->timings().firstByte);
    EXPECT_NE(entry.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(entries[0].thread, entries[1].thread);
}

TEST_F(URLSessionTest, SendsExactlyTheRecordsFieldsPlusHostAndContentLength) {
  auto session = URLSession::create(plainHTTP());
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());

  auto post = request("/seen");
  post.setHTTPMethod("POST");
  post.setValue("application/json", "Content-Type");
  post.setValue("abc", "X-Trace");
  post.setHTTPBody(toData(R"({"a":1})"));
  EXPECT_FALSE(sendAndWait(session, post).error.has_value());

  EXPECT_FALSE(sendAndWait(session, request("/seen")).error.has_value());

  auto put = request("/seen");
  put.setHTTPMethod("PUT");
  put.setHTTPBody(toData("raw"));
  EXPECT_FALSE(sendAndWait(session, put).error.has_value());

  auto emptyPost = request("/seen");
  emptyPost.setHTTPMethod("POST");
  emptyPost.setHTTPBody(Data{});
  EXPECT_FALSE(sendAndWait(session, emptyPost).error.has_value());

  auto remove = request("/seen");
  remove.setHTTPMethod("DELETE");
  EXPECT_FALSE(sendAndWait(session, remove).error.has_value());

  const auto requests = seen();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, R"({"a":1})");
  EXPECT_EQ(requests[0].fields, (Fields{{"Content-Length", "7"},
                                        {"Content-Type", "application/json"},
                                        {"Host", host},
                                        {"X-Trace", "abc"}}));
  // No "Accept: */*" of libcurl's own.
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].fields, (Fields{{"Host", host}}));
  // No form content type and no "Expect: 100-continue" for a body without a type of its own.
  EXPECT_EQ(requests[2].method, "PUT");
  EXPECT_EQ(requests[2].body, "raw");
  EXPECT_EQ(requests[2].fields, (Fields{{"Content-Length", "3"}, {"Host", host}}));
  EXPECT_EQ(requests[3].method, "POST");
  EXPECT_EQ(requests[3].body, "");
  EXPECT_EQ(requests[3].fields, (Fields{{"Content-Length", "0"}, {"Host", host}}));
  EXPECT_EQ(requests[4].method, "DELETE");
  EXPECT_EQ(requests[4].fields, (Fields{{"Host", host}}));
}

// Sequential requests share one reused libcurl handle: nothing of a request may leak into the
// next one, neither its method, its body nor its fields.
TEST_F(URLSessionTest, EachRequestStartsCleanOnAReusedHandle) {
  auto session = URLSession::create(plainHTTP());
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());

  auto head = request("/seen");
  head.setHTTPMethod("HEAD");
  head.setValue("1", "X-One");
  head.setValue("2", "X-Two");
  head.setValue("text/plain", "Accept");
  const auto headOutcome = sendAndWait(session, head);
  ASSERT_FALSE(headOutcome.error.has_value()) << *headOutcome.error;
  EXPECT_EQ(headOutcome.body, Data{});

  auto post = request("/seen");
  post.setHTTPMethod("POST");
  post.setHTTPBody(toData("after head"));
  const auto postOutcome = sendAndWait(session, post);
  ASSERT_FALSE(postOutcome.error.has_value()) << *postOutcome.error;
  EXPECT_EQ(postOutcome.body, toData("seen"));

  auto remove = request("/seen");
  remove.setHTTPMethod("DELETE");
  remove.setHTTPBody(toData("gone"));
  EXPECT_FALSE(sendAndWait(session, remove).error.has_value());

  const auto getOutcome = sendAndWait(session, request("/seen"));
  ASSERT_FALSE(getOutcome.error.has_value()) << *getOutcome.error;
  EXPECT_EQ(getOutcome.body, toData("seen"));

  const auto requests = seen();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].method, "HEAD");
  EXPECT_EQ(requests[0].fields,
            (Fields{{"Accept", "text/plain"}, {"Host", host}, {"X-One", "1"}, {"X-Two", "2"}}));
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].body, "after head");
  EXPECT_EQ(requests[1].fields, (Fields{{"Content-Length", "10"}, {"Host", host}}));
  EXPECT_EQ(requests[2].method, "DELETE");
  EXPECT_EQ(requests[2].body, "gone");
  EXPECT_EQ(requests[2].fields, (Fields{{"Content-Length", "4"}, {"Host", host}}));
  EXPECT_EQ(requests[3].method, "GET");
  EXPECT_EQ(requests[3].body, "");
  EXPECT_EQ(requests[3].fields, (Fields{{"Host", host}}));
  EXPECT_EQ(server_.connectionCount(), 1u);
}

TEST_F(URLSessionTest, PutsNothingOnTheWireBeyondTheRecordHostAndLength) {
  CompletionRecorder<std::string> heads;
  FaultServer raw([&](FaultServer& server, int connection) {
    if (auto head = server.readRequestHead(connection)) heads.record(*head);
    server.send(connection, "HTTP/1.1 204 No Content\r\n\r\n");
  });
  auto session = URLSession::create(plainHTTP());
  const std::string base = "http://127.0.0.1:" + std::to_string(raw.port());
  URLRequest get(urlOf(base + "/raw?q=1"));
  get.setValue("abc", "X-Trace");
  get.setValue("", "X-Empty");
  get.setValue(" \t ", "X-Blank");  // libcurl alone would drop it
  get.setValue("text/plain", "Accept");
  const auto outcome = sendAndWait(session, get);
  ASSERT_FALSE(outcome.error.has_value()) << *outcome.error;
  EXPECT_EQ(outcome.http()->statusCode(), 204);
  session.reset();
  ASSERT_EQ(heads.count(), 1u);
  EXPECT_EQ(heads.entries()[0].value,
            "GET /raw?q=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(raw.port()) +
                "\r\nX-Trace: abc\r\nX-Empty:\r\nX-Blank:\r\nAccept: text/plain\r\n\r\n");
}

TEST_F(URLSessionTest, KeepsALargeBodyWhole) {
  auto session = URLSession::create(plainHTTP());
  const auto outcome = sendAndWait(session, request("/big"));
  ASSERT_FALSE(outcome.error.has_value()) << *outcome.error;
  ASSERT_TRUE(outcome.body.has_value());
  ASSERT_EQ(outcome.body->size(), bigBody().size());
  EXPECT_TRUE(asText(*outcome.body) == bigBody());
}

TEST_F(URLSessionTest, DeliversErrorStatusesAsAnswers) {
  auto session = URLSession::create(plainHTTP());
  const auto serverError = sendAndWait(session, request("/status/500"));
  ASSERT_FALSE(serverError.error.has_value());
  ASSERT_NE(serverError.http(), nullptr);
  EXPECT_EQ(serverError.http()->statusCode(), 500);
  ASSERT_TRUE(serverError.body.has_value());
  EXPECT_TRUE(serverError.body->empty());

  const auto notFound = sendAndWait(session, request("/status/404"));
  ASSERT_FALSE(notFound.error.has_value());
  ASSERT_NE(notFound.http(), nullptr);
  EXPECT_EQ(notFound.http()->statusCode(), 404);
  ASSERT_TRUE(notFound.body.has_value());
  EXPECT_EQ(asText(*notFound.body), "no such thing");
}

TEST_F(URLSessionTest, DeliversARedirectAsIsAndNeverContactsItsTarget) {
  FaultServer target([](FaultServer&, int) {});
  server_.server().Get("/moved", [&](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location",
                        "http://127.0.0.1:" + std::to_string(target.port()) + "/elsewhere");
  });
  auto session = URLSession::create(plainHTTP());
  auto moved = request("/moved");
  moved.setValue("secret", "Authorization");
  const auto outcome = sendAndWait(session, moved);
  ASSERT_FALSE(outcome.error.has_value());
  ASSERT_NE(outcome.http(), nullptr);
  EXPECT_EQ(outcome.http()->statusCode(), 302);
  EXPECT_EQ(outcome.http()->allHeaderFields().value("Location"),
            "http://127.0.0.1:" + std::to_string(target.port()) + "/elsewhere");
  session.reset();  // joins the loop: nothing can still be on its way to the target
  EXPECT_EQ(target.acceptCount(), 0u);
}

TEST_F(URLSessionTest, RefusesBadHeaderFieldsAndSendsNothing) {
  auto session = URLSession::create(plainHTTP());
  struct Case {
    std::string name;
    std::string value;
    std::string description;
  };
  const std::vector<Case> cases{
      {"X-Injected", "a\r\nX-Evil: 1",
       "header field \"X-Injected\" has a value holding a control character other than tab"},
      {"X-Newline", "a\nb",
       "header field \"X-Newline\" has a value holding a control character other than tab"},
      {"X-Escape", "\x1b]0;title\x07",
       "header field \"X-Escape\" has a value holding a control character other than tab"},
      {"Content-Length", "3", "header field \"Content-Length\" is written by the transport itself"},
      {"Bad Name", "x", "header field name \"Bad\\x20Name\" is not an HTTP token"},
  };
  for (const auto& c : cases) {
    auto bad = request("/seen");
    bad.setHTTPMethod("POST");
    bad.setHTTPBody(toData("abc"));
    bad.setValue(c.value, c.name);
    const auto outcome = sendAndWait(session, bad);
    ASSERT_TRUE(outcome.error.has_value()) << c.name;
    EXPECT_EQ(outcome.error->code(), URLError::invalidHeaderField);
    EXPECT_EQ(outcome.error->description(), c.description);
    EXPECT_FALSE(outcome.body.has_value());
    EXPECT_EQ(outcome.response, nullptr);
  }
  session.reset();
  EXPECT_EQ(server_.connectionCount(), 0u);
  EXPECT_TRUE(seen().empty());
}

TEST_F(URLSessionTest, RefusesSchemesOutsideTheAllowedListAndSendsNothing) {
  auto httpsOnly = URLSession::create({});
  const auto plain = sendAndWait(httpsOnly, request("/seen"));
  ASSERT_TRUE(plain.error.has_value());
  EXPECT_EQ(plain.error->code(), URLError::unsupportedScheme);
  EXPECT_EQ(plain.error->description(), "URL scheme \"http\" is not allowed in this session");

  URLSessionConfiguration ftpToo = plainHTTP();
  ftpToo.allowedSchemes.push_back("ftp");
  auto withFTP = URLSession::create(ftpToo);
  const auto ftp = sendAndWait(withFTP, URLRequest(urlOf("ftp://127.0.0.1:1/file")));
  ASSERT_TRUE(ftp.error.has_value());
  EXPECT_EQ(ftp.error->code(), URLError::unsupportedScheme);
  EXPECT_EQ(ftp.error->description(), "URL scheme \"ftp\" is not allowed in this session");

  httpsOnly.reset();
  withFTP.reset();
  EXPECT_EQ(server_.connectionCount(), 0u);
}

TEST_F(URLSessionTest, HandlersChainingRequestsReuseOneHTTP1Connection) {
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  auto session = URLSession::create(plainHTTP());
  constexpr int kTotal = 100;
  // Each handler starts the next request from the loop thread, as a retrying client does.
  std::function<void(int)> sendFrom = [&](int remaining) {
    session
        ->dataTask(
            request("/hello"),
            [&, remaining](std::optional<Data> body, std::shared_ptr<const URLResponse> response,
                           std::optional<URLError> error) {
              const bool failed = error.has_value();
              recorder->record({std::move(body), std::move(response), std::move(error)});
              if (!failed && remaining > 1) sendFrom(remaining - 1);
            })
        .resume();
  };
  sendFrom(kTotal);
  ASSERT_TRUE(recorder->waitFor(kTotal));
  for (const auto& entry : recorder->entries()) {
    ASSERT_FALSE(entry.value.error.has_value()) << *entry.value.error;
    EXPECT_EQ(entry.value.http()->statusCode(), 200);
  }
  EXPECT_EQ(server_.requestCount(), static_cast<std::size_t>(kTotal));
  EXPECT_EQ(server_.connectionCount(), 1u);
  std::printf("[ reuse    ] %d sequential requests, %zu server-side connection(s)\n", kTotal,
              server_.connectionCount());
}

TEST_F(URLSessionTest, ContainsAThrowingHandlerAndKeepsServing) {
  CompletionRecorder<std::string> thrown;
  auto configuration = plainHTTP();
  configuration.onHandlerException = [&](std::exception_ptr exception) {
    try {
      std::rethrow_exception(exception);
    } catch (const std::runtime_error& error) {
      thrown.record(error.what());
    }
  };
  auto session = URLSession::create(configuration);
  session
      ->dataTask(request("/hello"),
                 [](auto, auto, auto) { throw std::runtime_error("handler failed"); })
      .resume();
  ASSERT_TRUE(thrown.waitFor(1));
  EXPECT_EQ(thrown.entries().front().value, "handler failed");

  const auto after = sendAndWait(session, request("/hello"));
  ASSERT_FALSE(after.error.has_value());
  EXPECT_EQ(asText(*after.body), "hi");

  // Without a receiver the exception is dropped, and the loop still goes on.
  auto quiet = URLSession::create(plainHTTP());
  quiet->dataTask(request("/hello"), [](auto, auto, auto) { throw 42; }).resume();
  EXPECT_FALSE(sendAndWait(quiet, request("/hello")).error.has_value());
  EXPECT_EQ(thrown.count(), 1u);
}

TEST_F(URLSessionTest, ATaskThatIsNeverResumedSendsNothingAndNeverCompletes) {
  auto session = URLSession::create(plainHTTP());
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  { auto task = session->dataTask(request("/seen"), testsupport::recordInto(recorder)); }
  auto resumedTwice = session->dataTask(request("/seen"), testsupport::recordInto(recorder));
  resumedTwice.resume();
  resumedTwice.resume();
  ASSERT_TRUE(recorder->waitFor(1));
  session.reset();
  EXPECT_EQ(recorder->count(), 1u);
  EXPECT_EQ(seen().size(), 1u);
}

}  // namespace
}  // namespace tamsenor
