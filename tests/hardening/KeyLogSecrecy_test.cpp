// libcurl opens the file that SSLKEYLOGFILE names when it is first initialised and would write
// every TLS connection's traffic secrets there. The variable is set here before main(), so every
// session of this program meets it; the file must stay empty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "support/CompletionRecorder.hpp"
#include "support/LoopbackHTTPServer.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "support/TaskOutcome.hpp"
#include "tamsenor/platform/URLSession.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::LoopbackHTTPServer;
using testsupport::TaskOutcome;

struct KeyLogFile {
  KeyLogFile()
      : path(std::filesystem::temp_directory_path() /
             ("tamsenor-keylog-" + std::to_string(::getpid()))) {
    std::filesystem::remove(path);
    ::setenv("SSLKEYLOGFILE", path.c_str(), 1);
  }
  ~KeyLogFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  std::filesystem::path path;
};
const KeyLogFile kKeyLog;

TEST(KeyLogSecrecy, SSLKEYLOGFILEStaysEmptyAfterTLSConnections) {
  tools::LocalCertificateAuthority issuer;
  const auto issued = issuer.issue("keylog.test");
  LoopbackHTTPServer server(issued.certificateFile, issued.keyFile);
  server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("tls", "text/plain");
  });
  server.start();
  const URL url = *URL::parse("https://keylog.test/");

  // With the extra CA the exchange succeeds; without it the handshake still runs to the refusal.
  for (const bool trusted : {true, false}) {
    URLSessionConfiguration configuration;
    if (trusted) configuration.additionalCABundlePath = issuer.caFile();
    configuration.hostOverrides = {
        {"keylog.test", 0, "127.0.0.1", static_cast<std::uint16_t>(server.port())}};
    auto session = URLSession::create(configuration);
    auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
    session->dataTask(URLRequest(url), testsupport::recordInto(recorder)).resume();
    ASSERT_TRUE(recorder->waitFor(1, 30s));
    testsupport::releaseSessionHere(session);
    const auto outcome = recorder->entries().front().value;
    if (trusted) {
      ASSERT_FALSE(outcome.error) << *outcome.error;
      EXPECT_EQ(asText(*outcome.body), "tls");
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->code(), 60);
    }
    // libcurl created the file, so it did read the variable.
    ASSERT_TRUE(std::filesystem::exists(kKeyLog.path));
    EXPECT_EQ(std::filesystem::file_size(kKeyLog.path), 0u);
  }
  EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace tamsenor
