// Every fault class of the transport met on every attempt position of retry chains 0 to 3 long:
// the attempts made and seen are exact, and the caller hears once, with the right outcome.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testing::CompletionRecorder;
using testing::FaultBench;
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
  for (const auto fault : FaultBench::allFaults) {
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
    testing::releaseSessionHere(session);
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

}  // namespace
}  // namespace tamsenor
