// Traffic that meets a real nginx's keep-alive limits (1 s idle, 5 requests per connection): each
// request completes once with nginx's answer, and nginx logged each exactly once.
#include <gtest/gtest.h>

#include <map>

#include "support/CompletionRecorder.hpp"
#include "support/NginxServer.hpp"
#include "support/SendAndWait.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::NginxServer;
using Listener = NginxServer::Listener;

struct Traffic {
  std::string name;
  Listener listener;
  std::vector<std::string> methods;  // taken in turn
  std::vector<double> gaps;          // idle seconds before each wave
  std::size_t wave;                  // requests per wave
  std::size_t inFlight;              // at once within a wave
};
void PrintTo(const Traffic& row, std::ostream* out) { *out << row.name; }

std::vector<Traffic> traffic() {
  std::vector<Traffic> rows;
  for (const auto& [name, listener] : {std::pair{std::string("Plain"), Listener::plain},
                                       {"TLS", Listener::tls},
                                       {"HTTP2", Listener::http2}}) {
    // The 0.5 s gap lets the 1.5 s one meet a connection that has served a request.
    const std::vector<double> gaps{0, 0.95, 1.05, 0.5, 1.5};
    const std::vector<std::string> both{"GET", "POST"};
    for (const auto& method : both) {
      rows.push_back(
          {name + method + "AfterGapsAroundTheKeepAliveTimeOut", listener, {method}, gaps, 1, 1});
    }
    rows.push_back({name + "BurstsOf8AfterIdleGaps", listener, both, {0, 1.5, 1.5}, 8, 8});
    rows.push_back({name + "3000With64InFlight", listener, both, {0}, 3000, 64});
  }
  return rows;
}

// Keeps `inFlight` requests going until `end`, request i tagged "r<i>"; holds nothing of the
// test's, as a handler may still send after a failed assertion ended it.
struct Sender {
  Sender(std::shared_ptr<HTTPClient> c, URL u, std::vector<std::string> m)
      : client(std::move(c)), url(std::move(u)), methods(std::move(m)) {}

  std::shared_ptr<HTTPClient> client;
  URL url;
  std::vector<std::string> methods;
  testsupport::CompletionRecorder<std::pair<std::string, std::string>> outcomes;
  std::atomic<std::size_t> next{0}, end{0};

  static void sendNext(const std::shared_ptr<Sender>& self) {
    std::size_t i = self->next;
    do {
      if (i >= self->end) return;
    } while (!self->next.compare_exchange_weak(i, i + 1));
    URLRequest request(self->url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 10.0);
    request.setHTTPMethod(self->methods[i % self->methods.size()]);
    request.setValue("r" + std::to_string(i), "X-Tag");
    if (request.httpMethod() == "POST")
      request.setHTTPBody(toData("body-of-r" + std::to_string(i)));
    self->client->perform(std::move(request), [self, i](HTTPClientResult result) {
      self->outcomes.record({"r" + std::to_string(i), testsupport::describe(result)});
      sendNext(self);
    });
  }
};

class URLSessionAgainstNginx : public ::testing::TestWithParam<Traffic> {};

TEST_P(URLSessionAgainstNginx, EveryRequestIsAnsweredAndLoggedOnce) {
  const Traffic& row = GetParam();
  NginxServer nginx;
  auto session = URLSession::create(nginx.configuration(row.listener));
  auto sender = std::make_shared<Sender>(URLSessionHTTPClient::create(session, "NginxTraffic/1"),
                                         nginx.url(row.listener, "traffic"), row.methods);
  for (const double gap : row.gaps) {
    std::this_thread::sleep_for(std::chrono::duration<double>(gap));
    sender->end += row.wave;
    for (std::size_t i = 0; i < row.inFlight; ++i) Sender::sendNext(sender);
    ASSERT_TRUE(sender->outcomes.waitFor(sender->end, 30s));
  }
  const std::size_t requests = sender->end;
  std::map<std::string, int> logged;  // line -> times
  for (const auto& line : nginx.accessLog(requests)) ++logged[line];
  std::size_t failed = 0, missing = 0, twice = 0;
  std::ostringstream failures;  // the first few, with their tags
  for (const auto& [tag, outcome] : sender->outcomes.values()) {
    if (outcome == "200:" + std::string(NginxServer::kAnswer)) continue;
    if (++failed <= 5) failures << "\n  " << tag << ": " << outcome;
  }
  for (std::size_t i = 0; i < requests; ++i) {
    const auto& method = row.methods[i % row.methods.size()];
    const auto line = logged.extract("r" + std::to_string(i) + " " + method + " 200 " +
                                     (row.listener == Listener::http2 ? "HTTP/2.0 " : "HTTP/1.1 ") +
                                     (method == "POST" ? "body-of-r" + std::to_string(i) : "-"));
    missing += line.empty();
    twice += !line.empty() && line.mapped() > 1;
  }
  std::ostringstream seen;
  seen << "completed " << sender->outcomes.count() << ", failed " << failed << ", not logged "
       << missing << ", logged twice " << twice << ", other log lines " << logged.size();
  EXPECT_EQ(seen.str(), "completed " + std::to_string(requests) +
                            ", failed 0, not logged 0, logged twice 0, other log lines 0")
      << failures.str();
  sender.reset();
  testsupport::releaseSessionHere(session);
}

INSTANTIATE_TEST_SUITE_P(Rows, URLSessionAgainstNginx, ::testing::ValuesIn(traffic()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace tamsenor
