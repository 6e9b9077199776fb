// Ends while the library may still be busy on a session's thread; ProcessExit_test wants status 0,
// "ok" and nothing on standard error.
//   tamsenor_exit_probe inside|woken|readme|static|statics PORT CA_FILE
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <thread>

#include "support/APIHost.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

using namespace tamsenor;

std::shared_ptr<HTTPClient> client;  // a static: "static" leaves it to the program's exit

// An application static that takes its time at exit, after the library's own statics are gone
// (they were made later); "statics" keeps the session's thread building requests meanwhile.
bool slowExit = false;
struct SlowToDestroy {
  ~SlowToDestroy() {
    if (slowExit) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
} slowToDestroy;

// Sends a sign-in request again from each completion, for ever.
struct Resender {
  std::shared_ptr<HTTPClient> stack;
  void operator()(HTTPClientResult) const {
    using POST = V0Endpoint::POST;
    stack->perform(POST(POST::send_sign_in_link{toData("{}"), String::applicationJSON()}).request(),
                   *this);
  }
};

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const auto host = testsupport::apiHost();
  URLSessionConfiguration configuration;
  configuration.hostOverrides = {
      {host.host, host.port, "127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[2]))}};
  configuration.additionalCABundlePath = argv[3];
  // The README's stack and, for "readme", its sign-in service.
  client = URLSessionHTTPClient::create(URLSession::create(configuration), "MyApp/1.0")
               ->withAuthentication([](URLRequest request) {
                 request.setValue("Bearer <token>", "Authorization");
                 return request;
               })
               ->withRetries(2, StatusCodeRange(500, 599));
  const auto signIn = mode != "readme" ? nullptr
                                       : RemoteMagicLinkSignInService::create(
                                             client, [](auto line) { std::cerr << line << '\n'; });
  std::promise<bool> failed;
  using GET = V0Endpoint::GET;
  if (signIn) {
    signIn->sendEmail("ada@example.org", [&](auto error) { failed.set_value(error.has_value()); });
  }
  if (mode == "static") {  // with a slow request still in flight when main returns
    client->perform(GET(GET::research_interests_search{.query = "slow"}).request(),
                    [](HTTPClientResult) {});
  }
  if (mode == "statics") {
    slowExit = true;
    Resender{client}(HTTPClientResult::failure(HTTPClientError::unexpectedResponseType()));
  }
  if (!signIn) {
    client->perform(GET(GET::research_interests_stats{.id = 1}).request(),
                    [&failed, inside = mode == "inside"](HTTPClientResult result) {
                      if (inside) client.reset();  // the session goes on its own thread
                      failed.set_value(!result);
                    });
  }
  if (failed.get_future().get()) return 1;
  if (mode != "static") client.reset();  // right after being woken
  std::cout << "ok\n";
}
