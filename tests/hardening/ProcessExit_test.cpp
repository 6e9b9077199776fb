// A program may end at any moment: right after dropping its stack inside a completion, after
// being woken by one, as the README's example does, or with a session in a static and a request
// still in flight. Each way, it exits cleanly: status 0, nothing on standard error (where the
// sanitizers report), no hang.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/APIHost.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

int runsPerMode() {
  const char* given = std::getenv("TAMSENOR_EXIT_RUNS");
  return given ? std::atoi(given) : 24;
}

class ProcessExit : public ::testing::TestWithParam<const char*> {};

TEST_P(ProcessExit, EndsCleanlyEveryTime) {
  tools::LocalCertificateAuthority issuer;
  const auto issued = issuer.issue(testsupport::apiHost().host);
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  server.server().Get(".*", [](const httplib::Request& request, httplib::Response& response) {
    if (request.get_param_value("query") == "slow") {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    response.set_content("{}", "application/json");
  });
  server.server().Post(".*", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("{}", "application/json");
  });
  server.start();

  const int runs = runsPerMode();
  int clean = 0;
  for (int run = 0; run < runs; ++run) {
    const auto outcome = testsupport::ChildProcess::run(
        {TAMSENOR_EXIT_PROBE, GetParam(), std::to_string(server.port()), issuer.caFile()});
    EXPECT_EQ(outcome.exitStatus, 0) << "run " << run << ": " << outcome.err;
    EXPECT_EQ(outcome.out, "ok\n") << "run " << run;
    EXPECT_EQ(outcome.err, "") << "run " << run;
    if (outcome.exitStatus == 0 && outcome.out == "ok\n" && outcome.err.empty()) ++clean;
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("[ exit     ] %s: %d of %d runs clean\n", GetParam(), clean, runs);
}

INSTANTIATE_TEST_SUITE_P(Modes, ProcessExit,
                         ::testing::Values("inside", "woken", "readme", "static"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
}  // namespace tamsenor
