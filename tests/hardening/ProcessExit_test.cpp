// Each way a program may end while the library is busy, many times over: status 0, "ok" and
// nothing on standard error, where the sanitizers report.
#include <gtest/gtest.h>
#include <cstdlib>
#include <thread>

#include "support/APIHost.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

class ProcessExit : public ::testing::TestWithParam<const char*> {};

TEST_P(ProcessExit, EndsCleanlyEveryTime) {
  tools::LocalCertificateAuthority issuer;
  const auto issued = issuer.issue(testsupport::apiHost().host);
  testsupport::LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  const auto answer = [](const httplib::Request& request, httplib::Response& response) {
    if (request.has_param("query")) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    response.set_content("{}", "application/json");
  };
  server.server().Get(".*", answer).Post(".*", answer);
  server.start();
  const char* runs = std::getenv("TAMSENOR_EXIT_RUNS");
  for (int run = 0, last = runs ? std::atoi(runs) : 24; run < last && !HasFailure(); ++run) {
    const auto outcome = testsupport::runChildProcess(
        {TAMSENOR_EXIT_PROBE, GetParam(), std::to_string(server.port()), issuer.caFile()});
    EXPECT_EQ(std::tie(outcome.status, outcome.out, outcome.err), std::tuple(0, "ok\n", ""))
        << "run " << run;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ProcessExit,
                         ::testing::Values("inside", "woken", "readme", "static", "statics"),
                         [](const auto& mode) { return std::string(mode.param); });

}  // namespace
}  // namespace tamsenor
