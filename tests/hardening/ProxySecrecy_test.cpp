// A proxy setting with credentials: a bad one fails every request of its session with a fixed
// text, a sound one gets its credentials to the proxy, and no error text ever quotes the setting.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/TaskOutcome.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::RefusingPort;
using testsupport::TaskOutcome;

const std::string kSecret = "s3cret-7f2a";

enum class Proxy { answersOK, refusesTunnel, refusesSOCKSAuthentication };

struct ProxyCase {
  std::string label;
  std::string proxy;  // "{port}" stands for the proxy server's port, "{refusing}" for a dead one
  Proxy behaviour = Proxy::answersOK;
  bool https = false;       // the request's scheme
  std::int64_t code = 0;    // 0: the answer arrives through the proxy
  std::string outcome;      // the description, "{refusing}" replaced; or the body
  std::size_t reached = 0;  // connections the proxy server accepts for two requests
};

void PrintTo(const ProxyCase& row, std::ostream* out) { *out << row.label; }

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
  for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size())) {
    text.replace(at, mark.size(), by);
  }
  return text;
}

std::vector<ProxyCase> proxyCases() {
  const std::string credentials = "ada:pr0xy%3A" + kSecret + "@";
  const std::string scheme =
      "Unsupported protocol: the session's proxy must be an http, socks5 or socks5h URL";
  const std::string malformed =
      "URL using bad/illegal format or missing URL: the session's proxy is not a valid proxy URL";
  return {
      {"UnsupportedScheme", "ftp://" + credentials + "127.0.0.1:{port}", Proxy::answersOK, false, 1,
       scheme},
      {"HTTPSProxy", "https://" + credentials + "127.0.0.1:{port}", Proxy::answersOK, false, 1,
       scheme},
      {"NoScheme", credentials + "127.0.0.1:{port}", Proxy::answersOK, false, 3, malformed},
      {"NoHost", "http://" + credentials + ":{port}", Proxy::answersOK, false, 3, malformed},
      {"PortOutOfRange", "http://" + credentials + "127.0.0.1:65536", Proxy::answersOK, false, 3,
       malformed},
      {"UnclosedIPv6Literal", "http://" + credentials + "[::1:{port}", Proxy::answersOK, false, 3,
       malformed},
      {"SocketPathAfterTheHost", "socks5h://" + credentials + "localhost/run/proxy.sock",
       Proxy::answersOK, false, 3, malformed},
      {"BadPercentEscape", "http://ada:pr0xy%zz" + kSecret + "@127.0.0.1:{port}", Proxy::answersOK,
       false, 3, malformed},
      {"BlankInThePassword", "http://ada:pr0xy " + kSecret + "@127.0.0.1:{port}", Proxy::answersOK,
       false, 3, malformed},
      {"ProxyRefusesConnections", "http://" + credentials + "127.0.0.1:{refusing}",
       Proxy::answersOK, false, 7,
       "Couldn't connect to server: Failed to connect to 127.0.0.1 port {refusing} after N ms: "
       "Couldn't connect to server"},
      {"SOCKS5ProxyRefusesAuthentication", "socks5://" + credentials + "127.0.0.1:{port}",
       Proxy::refusesSOCKSAuthentication, false, 97,
       "proxy handshake error: No authentication method was acceptable.", 2},
      {"TunnelRefusedWith407", "http://" + credentials + "127.0.0.1:{port}", Proxy::refusesTunnel,
       true, 56, "Failure when receiving data from the peer: CONNECT tunnel failed, response 407",
       2},
      {"AnswersThroughTheProxy", "HTTP://ad%40a:pr0xy%3A" + kSecret + "@127.0.0.1:{port}/",
       Proxy::answersOK, false, 0, "via proxy", 2},
  };
}

// Libcurl names the milliseconds a refused connection took; they vary.
std::string withoutMilliseconds(std::string text) {
  const auto after = text.find(" after ");
  const auto ms = text.find(" ms", after == std::string::npos ? 0 : after);
  if (after != std::string::npos && ms != std::string::npos) {
    text.replace(after + 7, ms - after - 7, "N");
  }
  return text;
}

class ProxySecrecy : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxySecrecy, CredentialsReachOnlyTheProxy) {
  const ProxyCase& row = GetParam();
  std::mutex mutex;
  std::vector<std::string> heads;
  FaultServer proxy([&](FaultServer& server, int connection) {
    if (row.behaviour == Proxy::refusesSOCKSAuthentication) {
      // Reads the greeting (version 5 and its methods) and accepts none of the methods.
      char greeting[16];
      if (::recv(connection, greeting, sizeof greeting, 0) > 0) server.send(connection, "\x05\xff");
      return;
    }
    const auto head = server.readRequestHead(connection);
    if (!head) return;
    {
      std::lock_guard lock(mutex);
      heads.push_back(*head);
    }
    server.send(connection, row.behaviour == Proxy::refusesTunnel
                                ? "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n"
                                : "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nvia proxy");
  });
  RefusingPort refusing;
  RefusingPort target;  // never reached: requests go through the proxy or nowhere
  const std::string port = std::to_string(proxy.port());
  const std::string refusingPort = std::to_string(refusing.port());

  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http", "https"};
  configuration.proxy = replaced(replaced(row.proxy, "{port}", port), "{refusing}", refusingPort);
  auto session = URLSession::create(configuration);
  const std::string url = std::string(row.https ? "https" : "http") +
                          "://127.0.0.1:" + std::to_string(target.port()) + "/";
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  for (int i = 0; i < 2; ++i) {
    URLRequest request(*URL::parse(url));
    request.setTimeoutInterval(10);
    session->dataTask(request, testsupport::recordInto(recorder)).resume();
    ASSERT_TRUE(recorder->waitFor(static_cast<std::size_t>(i + 1), 30s));
  }
  session.reset();

  for (const auto& entry : recorder->entries()) {
    const TaskOutcome& outcome = entry.value;
    if (row.code == 0) {
      ASSERT_FALSE(outcome.error) << *outcome.error;
      EXPECT_EQ(asText(*outcome.body), row.outcome);
      continue;
    }
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), row.code);
    EXPECT_EQ(withoutMilliseconds(outcome.error->description()),
              replaced(row.outcome, "{refusing}", refusingPort));
    EXPECT_EQ(outcome.error->description().find(kSecret), std::string::npos);
  }
  EXPECT_EQ(proxy.acceptCount(), row.reached);
  std::lock_guard lock(mutex);
  for (const auto& head : heads) {
    const std::string request =
        row.https ? "CONNECT 127.0.0.1:" + std::to_string(target.port()) : "GET " + url;
    EXPECT_EQ(head.rfind(request + " HTTP/1.1\r\n", 0), 0u) << head;
    // "ad@a" and "pr0xy:<secret>", decoded and joined by libcurl.
    const std::string basic = row.label == "AnswersThroughTheProxy"
                                  ? "YWRAYTpwcjB4eTpzM2NyZXQtN2YyYQ=="
                                  : "YWRhOnByMHh5OnMzY3JldC03ZjJh";
    EXPECT_NE(head.find("\r\nProxy-Authorization: Basic " + basic + "\r\n"), std::string::npos)
        << head;
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, ProxySecrecy, ::testing::ValuesIn(proxyCases()),
                         [](const ::testing::TestParamInfo<ProxyCase>& row) {
                           return row.param.label;
                         });

}  // namespace
}  // namespace tamsenor
