#include <iostream>
#include <optional>
#include <string>

#include "tamsenor/Version.hpp"
#include "tamsenor/abtesting/framework/OStreamLogger.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

int main() {
  using namespace tamsenor;
  using V0Endpoint::GET;
  const auto record = GET(GET::research_interests_stats{.id = 42}).request();
  std::cout << TamsenorAPIVersionString << record.httpMethod() << ' ' << record.url() << '\n';

  // The test kit's client answers a sign-in with 503, which the service logs and reports.
  const auto client = testing::ScriptedHTTPClient::create();
  client->answerNext(503);
  const auto signIn = RemoteMagicLinkSignInService::create(
      client, [](const std::string& line) { std::cout << "log: " << line << '\n'; });
  std::optional<MagicLinkSignInService::Error> error;
  signIn->sendEmail("ada@example.org", [&error](auto outcome) { error = outcome; });
  OStreamLogger(std::cout).warning(error ? to_string(*error) : "sent", "main.cpp", "main", 1);

  const bool ok = record.url().absoluteString().ends_with("/v0/research_interests/42/stats") &&
                  error == MagicLinkSignInService::Error::clientError &&
                  client->requestCount() == 1;
  return ok ? 0 : 1;
}
