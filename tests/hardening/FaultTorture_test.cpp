// Every fault class of the transport met on every attempt position of retry chains 0 to 3 long:
// the attempts made and seen are exact, and the caller hears once, with the right outcome.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/FaultServer.hpp"
#include "support/HTTPResultLog.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultBench;
using Fault = FaultBench::Fault;
using Step = FaultBench::Step;

struct TortureCase {
  Fault fault;
  std::uint64_t retries;
  std::size_t faultOn;  // the attempt that meets the fault; 0 for every attempt
};

void PrintTo(const TortureCase& c, std::ostream* out) {
  *out << FaultBench::name(c.fault) << ", " << c.retries << " retries, fault on "
       << (c.faultOn == 0 ? std::string("every attempt") : "attempt " + std::to_string(c.faultOn));
}

std::vector<TortureCase> allCases() {
  std::vector<TortureCase> cases;
  for (const auto fault : FaultBench::kAllFaults) {
    for (std::uint64_t retries = 0; retries <= 3; ++retries) {
      for (std::size_t attempt = 1; attempt <= retries + 1; ++attempt) {
        cases.push_back({fault, retries, attempt});
      }
      cases.push_back({fault, retries, 0});
    }
  }
  return cases;
}

std::string caseName(const ::testing::TestParamInfo<TortureCase>& info) {
  const auto& c = info.param;
  return std::string(FaultBench::name(c.fault)) + "_Retries" + std::to_string(c.retries) +
         (c.faultOn == 0 ? "_OnEveryAttempt" : "_OnAttempt" + std::to_string(c.faultOn));
}

class FaultTorture : public ::testing::TestWithParam<TortureCase> {};

TEST_P(FaultTorture, AttemptsAreExactAndTheCompletionRunsOnce) {
  const auto c = GetParam();
  // Attempts before the faulty one answer 503 (inside the retry range), those after it 200.
  FaultBench bench(c.fault, [c](std::size_t attempt) {
    if (c.faultOn == 0 || attempt == c.faultOn) return Step::fault;
    return attempt < c.faultOn ? Step::unavailable : Step::ok;
  });
  auto results = std::make_shared<CompletionRecorder<HTTPClientResult>>();
  {
    auto session = bench.session();
    auto stack = bench.client("TamsenorTorture/1.0", session)
                     ->withAuthentication([](URLRequest request) {
                       request.setValue("Bearer torture", "Authorization");
                       return request;
                     })
                     ->withRetries(c.retries, StatusCodeRange(500, 599));
    stack->perform(bench.request(),
                   [results](HTTPClientResult result) { results->record(std::move(result)); });
    ASSERT_TRUE(results->waitFor(1, 30s));
    stack.reset();
    testsupport::releaseSessionHere(session);
  }  // the session is gone: a second completion would have arrived before this point

  const std::size_t allowed = c.retries + 1;
  const bool lastAttemptFails = c.faultOn == 0 || c.faultOn == allowed;
  const std::size_t attempts = lastAttemptFails ? allowed : c.faultOn + 1;
  const std::size_t faulty = c.faultOn == 0 ? allowed : 1;
  EXPECT_EQ(bench.clientAttempts(), attempts);
  EXPECT_EQ(bench.serverAttempts(),
            c.fault == Fault::connectionRefused ? attempts - faulty : attempts);
  ASSERT_EQ(results->count(), 1u);

  const auto result = results->entries().front().value;
  if (lastAttemptFails) {
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error().kind(), HTTPClientError::Case::networkError);
    ASSERT_TRUE(result.error().underlyingError().has_value());
    EXPECT_EQ(result.error().underlyingError()->code(), FaultBench::curlCode(c.fault))
        << result.error();
    if (c.retries == 0) {
      std::printf("[ fault    ] %s | %lld | %s\n", std::string(FaultBench::name(c.fault)).c_str(),
                  static_cast<long long>(result.error().underlyingError()->code()),
                  to_string(result.error()).c_str());
    }
  } else {
    ASSERT_TRUE(result.hasValue()) << result.error();
    EXPECT_EQ(result.value().response().statusCode(), 200);
    EXPECT_EQ(asText(result.value().body()), "ok");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFaultEveryAttempt, FaultTorture, ::testing::ValuesIn(allCases()),
                         caseName);

// A keep-alive connection that dies after a request went out must not make the transport send it
// again on a new one: the retry count alone says how often a request reaches the server.
struct ResendCase {
  const char* name;
  const char* method;
  std::optional<std::string> body;
  std::uint64_t retries;
  const char* outcome;
};

class NoSilentResend : public ::testing::TestWithParam<ResendCase> {};

TEST_P(NoSilentResend, AReusedConnectionThatDiesCostsOneAttempt) {
  const auto& c = GetParam();
  // Answers the first request on each connection 503, reads the second and closes unanswered.
  std::atomic<std::size_t> seen{0};
  testsupport::FaultServer server([&seen](testsupport::FaultServer& s, int connection) {
    if (!s.readRequest(connection)) return;
    ++seen;
    s.send(connection, "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n");
    if (s.readRequest(connection)) ++seen;
  });
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  auto session = URLSession::create(configuration);
  URLRequest request(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  request.setHTTPMethod(c.method);
  if (c.body) request.setHTTPBody(toData(*c.body));
  testsupport::HTTPResultLog log;
  const auto chain = URLSessionHTTPClient::create(session, "Resend/1")
                         ->withRetries(c.retries, StatusCodeRange(500, 599));
  chain->perform(request, log.completion());
  ASSERT_TRUE(log.waitFor(1));
  testsupport::releaseSessionHere(session);
  EXPECT_EQ(log.lines(), std::vector<std::string>{c.outcome});
  EXPECT_EQ(seen.load(), c.retries + 1);
}

constexpr const char* kDiedUnanswered =
    "networkError(Server returned nothing (no headers, no data): the connection closed before an "
    "answer; the request is not sent twice)";

std::vector<ResendCase> resendCases() {
  std::vector<ResendCase> cases;
  const std::pair<const char*, std::optional<std::string>> requests[] = {
      {"GET", std::nullopt}, {"GET", "x"}, {"POST", "{}"}, {"POST", ""}};
  for (const auto& [method, body] : requests) {
    for (const std::uint64_t retries : {0u, 1u, 2u}) {
      cases.push_back({method, method, body, retries, retries == 1 ? kDiedUnanswered : "503:"});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(KeepAlive, NoSilentResend, ::testing::ValuesIn(resendCases()),
                         [](const auto& param) {
                           const auto& c = param.param;
                           return std::string(c.method) +
                                  (!c.body           ? ""
                                   : c.body->empty() ? "EmptyBody"
                                                     : "Body") +
                                  "_Retries" + std::to_string(c.retries);
                         });

}  // namespace
}  // namespace tamsenor
