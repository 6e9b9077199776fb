// A proxy setting with credentials: a bad one fails every request of its session with a fixed
// text, a sound one gets its credentials to the proxy, and no error text ever quotes the setting.
// The environment names the proxy too (http_proxy, no_proxy=*): the session reads none of it.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/TaskOutcome.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::FaultServer;

const std::string kSecret = "s3cret-7f2a";

enum class Proxy { answersOK, refusesTunnel, refusesSOCKSAuthentication };

struct ProxyCase {
  std::string label;
  std::string proxy;  // "{port}" stands for the proxy's port, "{refusing}" for a dead one; "" none
  Proxy behaviour = Proxy::answersOK;
  bool https = false;       // the request's scheme
  std::int64_t code = 0;    // 0: the answer arrives, through the proxy or not
  std::string outcome;      // the description, "{refusing}" replaced; or the body
  std::size_t reached = 0;  // connections the proxy accepts for two requests
};

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
  for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size())) {
    text.replace(at, mark.size(), by);
  }
  return text;
}

std::vector<ProxyCase> proxyCases() {
  const std::string user = "ada:pr0xy%3A" + kSecret + "@";
  const auto bad = [](std::string label, std::string proxy) {
    return ProxyCase{std::move(label),
                     std::move(proxy),
                     Proxy::answersOK,
                     false,
                     CURLE_URL_MALFORMAT,
                     "URL using bad/illegal format or missing URL: the session's proxy is not a "
                     "valid proxy URL"};
  };
  const auto badScheme = [](std::string label, std::string proxy) {
    return ProxyCase{std::move(label),
                     std::move(proxy),
                     Proxy::answersOK,
                     false,
                     CURLE_UNSUPPORTED_PROTOCOL,
                     "Unsupported protocol: the session's proxy must be an http, socks5 or socks5h "
                     "URL"};
  };
  return {
      badScheme("UnsupportedScheme", "ftp://" + user + "127.0.0.1:{port}"),
      badScheme("HTTPSProxy", "https://" + user + "127.0.0.1:{port}"),
      bad("NoScheme", user + "127.0.0.1:{port}"),
      bad("NoHost", "http://" + user + ":{port}"),
      bad("PortOutOfRange", "http://" + user + "127.0.0.1:65536"),
      bad("PortMissing", "http://" + user + "127.0.0.1:"),
      bad("PortWithALetter", "http://" + user + "127.0.0.1:1x"),
      bad("PortPaddedPastFiveDigits", "http://" + user + "127.0.0.1:000{port}"),
      bad("UnclosedIPv6Literal", "http://" + user + "[::1:{port}"),
      bad("SocketPathAfterTheHost", "socks5h://" + user + "localhost/run/proxy.sock"),
      bad("PercentEscapeWithANonHexDigit", "http://ada:pr0xy%z1" + kSecret + "@127.0.0.1:{port}"),
      bad("BlankInThePassword", "http://ada:pr0xy " + kSecret + "@127.0.0.1:{port}"),
      {"ProxyRefusesConnections", "http://" + user + "127.0.0.1:{refusing}", Proxy::answersOK,
       false, CURLE_COULDNT_CONNECT,
       "Couldn't connect to server: Failed to connect to 127.0.0.1 port {refusing} after N ms: "
       "Couldn't connect to server"},
      {"SOCKS5ProxyRefusesAuthentication", "socks5://" + user + "127.0.0.1:{port}",
       Proxy::refusesSOCKSAuthentication, false, CURLE_PROXY,
       "proxy handshake error: No authentication method was acceptable.", 2},
      {"TunnelRefusedWith407", "http://" + user + "127.0.0.1:{port}", Proxy::refusesTunnel, true,
       CURLE_RECV_ERROR,
       "Failure when receiving data from the peer: CONNECT tunnel failed, response 407", 2},
      {"AnswersThroughTheProxy", "HTTP://Ad%40a:pr0xy%3A" + kSecret + "@127.0.0.1:{port}/",
       Proxy::answersOK, false, 0, "via proxy", 2},
      {"NoSettingGoesDirect", "", Proxy::answersOK, false, 0, "direct", 0},
  };
}

// Libcurl names the milliseconds a refused connection took; they vary.
std::string withoutMilliseconds(std::string text) {
  const auto after = text.find(" after ");
  const auto ms = text.find(" ms", after == std::string::npos ? 0 : after);
  if (after != std::string::npos && ms != std::string::npos)
    text.replace(after + 7, ms - after - 7, "N");
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
                                ? "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: "
                                  "0\r\nConnection: close\r\n\r\n"
                                : "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nvia proxy");
  });
  FaultServer target([](FaultServer& server, int connection) {
    if (server.readRequestHead(connection))
      server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ndirect");
  });
  testsupport::RefusingPort refusing;
  const std::string port = std::to_string(proxy.port());
  const std::string refusingPort = std::to_string(refusing.port());
  ::setenv("http_proxy", ("http://127.0.0.1:" + port).c_str(), 1);
  ::setenv("no_proxy", "*", 1);

  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http", "https"};
  if (!row.proxy.empty())
    configuration.proxy = replaced(replaced(row.proxy, "{port}", port), "{refusing}", refusingPort);
  auto session = URLSession::create(configuration);
  const std::string url = std::string(row.https ? "https" : "http") +
                          "://127.0.0.1:" + std::to_string(target.port()) + "/";
  auto recorder = std::make_shared<testsupport::CompletionRecorder<testsupport::TaskOutcome>>();
  for (std::size_t i = 0; i < 2; ++i) {
    URLRequest request(*URL::parse(url));
    request.setTimeoutInterval(10);
    session->dataTask(request, testsupport::recordInto(recorder)).resume();
    ASSERT_TRUE(recorder->waitFor(i + 1, 30s));
  }
  session->finishTasksAndInvalidate();
  ::unsetenv("http_proxy");
  ::unsetenv("no_proxy");

  for (const auto& entry : recorder->entries()) {
    const auto& outcome = entry.value;
    if (row.code == 0) {
      ASSERT_FALSE(outcome.error) << *outcome.error;
      EXPECT_EQ(asText(*outcome.body), row.outcome);
      continue;
    }
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), row.code);
    EXPECT_EQ(withoutMilliseconds(outcome.error->description()),
              replaced(row.outcome, "{refusing}", refusingPort));
  }
  EXPECT_EQ(proxy.acceptCount(), row.reached);
  EXPECT_EQ(target.acceptCount(), row.proxy.empty() ? 2u : 0u);
  std::lock_guard lock(mutex);
  for (const auto& head : heads) {
    const std::string request =
        row.https ? "CONNECT 127.0.0.1:" + std::to_string(target.port()) : "GET " + url;
    EXPECT_EQ(head.rfind(request + " HTTP/1.1\r\n", 0), 0u) << head;
    // "Ad@a" or "ada" and "pr0xy:<secret>", decoded and joined by libcurl.
    const std::string basic = row.label == "AnswersThroughTheProxy"
                                  ? "QWRAYTpwcjB4eTpzM2NyZXQtN2YyYQ=="
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
