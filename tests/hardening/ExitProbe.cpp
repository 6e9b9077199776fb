// A program that ends while the library may still be busy on a session's loop thread. Run by
// ProcessExit_test: it must exit with status 0, print "ok", and leave standard error empty.
//   tamsenor_exit_probe <inside|woken|readme|static> <port> <CA file>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "support/APIHost.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

using namespace tamsenor;

namespace {

URLSessionConfiguration configuration;
// The session of the "static" mode, torn down among the program's static objects.
std::shared_ptr<HTTPClient> staticClient;

URLRequest stats(std::int64_t id) {
  return V0Endpoint::GET(V0Endpoint::GET::research_interests_stats{.id = id}).request();
}

std::shared_ptr<HTTPClient> stack() {
  return URLSessionHTTPClient::create(URLSession::create(configuration), "ExitProbe/1")
      ->withAuthentication([](URLRequest request) {
        request.setValue("Bearer probe", "Authorization");
        return request;
      })
      ->withRetries(2, StatusCodeRange(500, 599));
}

// The completion drops the last reference to the stack, so the session is released on its loop
// thread, then wakes main, which returns at once.
int dropInside() {
  static std::shared_ptr<HTTPClient> client = stack();
  std::promise<void> done;
  client->perform(stats(1), [&done](HTTPClientResult) {
    client.reset();
    done.set_value();
  });
  done.get_future().wait();
  return 0;
}

// main is woken by the completion, then drops the stack itself and returns at once.
int dropAfterWaking() {
  auto client = stack();
  std::promise<void> done;
  client->perform(stats(2), [&done](HTTPClientResult) { done.set_value(); });
  done.get_future().wait();
  client.reset();
  return 0;
}

// The README's example as an application would write it.
int readme() {
  const auto session = URLSession::create(configuration);
  const auto client = URLSessionHTTPClient::create(session, "MyApp/1.0")
                          ->withAuthentication([](URLRequest request) {
                            request.setValue("Bearer <token>", "Authorization");
                            return request;
                          })
                          ->withRetries(2, StatusCodeRange(500, 599));
  const auto signIn = RemoteMagicLinkSignInService::create(
      client, [](const std::string& line) { std::cerr << line << '\n'; });
  std::promise<std::optional<MagicLinkSignInService::Error>> outcome;
  signIn->sendEmail("ada@example.org", [&outcome](auto error) { outcome.set_value(error); });
  return outcome.get_future().get() ? 1 : 0;
}

// A session in a static, with a slow request still in flight when main returns.
int inStatic() {
  staticClient = stack();
  staticClient->perform(
      V0Endpoint::GET(V0Endpoint::GET::research_interests_search{.query = "slow"}).request(),
      [](HTTPClientResult) {});
  std::promise<void> done;
  staticClient->perform(stats(3), [&done](HTTPClientResult) { done.set_value(); });
  done.get_future().wait();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const auto host = testsupport::apiHost();
  configuration.hostOverrides = {
      {host.host, host.port, "127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[2]))}};
  configuration.additionalCABundlePath = argv[3];
  int status = 2;
  if (mode == "inside") status = dropInside();
  if (mode == "woken") status = dropAfterWaking();
  if (mode == "readme") status = readme();
  if (mode == "static") status = inStatic();
  if (status == 0) std::cout << "ok\n";
  return status;
}
