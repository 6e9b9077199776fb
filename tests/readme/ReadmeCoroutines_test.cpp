// The README's coroutines, its main() set aside, against a local stand-in for the API host: a
// sign-in, a search with a long query and a POST. Under AddressSanitizer this catches a README
// that goes back to braced temporaries inside co_await.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wreturn-type"  // only main() may end without a return
#define main readmeMain
#include TAMSENOR_README_EXAMPLE
#undef main
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <sstream>

#include "support/APIHost.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "tools/LocalCertificateAuthority.hpp"

TEST(ReadmeCoroutines, RunAgainstALocalService) {
  tools::LocalCertificateAuthority issuer;
  const auto host = testsupport::apiHost();
  const auto issued = issuer.issue(host.host);
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  testsupport::CompletionRecorder<std::string> seen;
  const auto answer = [&seen](const httplib::Request& request, httplib::Response& response) {
    seen.record(request.method + " " + request.target + " " + request.body);
    response.set_content("{}", "application/json");
  };
  server.server().Get(".*", answer).Post(".*", answer);
  server.start();
  const auto session =
      URLSession::create({.additionalCABundlePath = issuer.caFile(),
                          .hostOverrides = {{host.host, host.port, "127.0.0.1",
                                             static_cast<std::uint16_t>(server.port())}}});
  const auto client = URLSessionHTTPClient::create(session, "MyApp/1.0");
  const auto signIn = RemoteMagicLinkSignInService::create(client, [](const std::string&) {});

  std::ostringstream out;
  auto* const console = std::cout.rdbuf(out.rdbuf());
  MainQueue main;
  signInWithCoroutine(*signIn, main);
  main.runOne();
  searchThenAccept(*client, main);
  main.runOne();
  std::cout.rdbuf(console);
  session->finishTasksAndInvalidate();

  EXPECT_EQ(out.str(), "sent\n200\n200\n");
  EXPECT_EQ(seen.values(), (std::vector<std::string>{
                               R"(POST /v0/send_sign_in_link {"email": "ada@example.org"})",
                               "GET /v0/research_interests/search?q=protein%20folding%2C%202024 ",
                               R"(POST /v0/user_terms_acceptances {"accepted":true})"}));
}
