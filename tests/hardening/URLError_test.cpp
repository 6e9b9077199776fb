// Each fault class of the transport, met for real, answers exactly one of URLError's predicates.
#include "tamsenor/platform/URLError.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "support/FaultBench.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/http/Async.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::FaultBench;
using Fault = FaultBench::Fault;

struct Row {
  Fault fault;
  std::vector<std::string> holds;
};

void PrintTo(const Row& row, std::ostream* out) { *out << FaultBench::name(row.fault); }

std::vector<std::string> predicatesHolding(const URLError& error) {
  std::vector<std::string> names;
  if (error.isCancelled()) names.emplace_back("cancelled");
  if (error.isTimedOut()) names.emplace_back("timedOut");
  if (error.isCannotConnect()) names.emplace_back("cannotConnect");
  if (error.isSecureConnectionFailed()) names.emplace_back("secureConnectionFailed");
  if (error.isConnectionLost()) names.emplace_back("connectionLost");
  if (error.isBadServerResponse()) names.emplace_back("badServerResponse");
  return names;
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  return std::string(FaultBench::name(info.param.fault));
}

class URLErrorPredicates : public ::testing::TestWithParam<Row> {};

TEST_P(URLErrorPredicates, ExactlyOneHoldsForEachTransportFault) {
  const Row& row = GetParam();
  FaultBench bench(row.fault, [](std::size_t) { return FaultBench::Step::fault; });
  auto session = bench.session();
  auto client = bench.client("Predicates/1", session);
  auto answer = perform(*client, bench.request(), useFuture);
  ASSERT_EQ(answer.wait_for(30s), std::future_status::ready);
  const auto result = answer.get();
  client.reset();
  testsupport::releaseSessionHere(session);

  ASSERT_FALSE(result.hasValue());
  ASSERT_TRUE(result.error().underlyingError().has_value()) << result.error();
  EXPECT_EQ(predicatesHolding(*result.error().underlyingError()), row.holds) << result.error();
}

TEST(URLErrorPredicates, OnlyCancelledHoldsForARequestCancelledWithItsSession) {
  FaultBench bench(Fault::stall, [](std::size_t) { return FaultBench::Step::fault; });
  auto session = bench.session();
  auto answer = perform(*bench.client("Predicates/1", session), bench.request(), useFuture);
  session->invalidateAndCancel();
  ASSERT_EQ(answer.wait_for(0s), std::future_status::ready);
  const auto result = answer.get();
  ASSERT_FALSE(result.hasValue());
  EXPECT_EQ(predicatesHolding(*result.error().underlyingError()),
            std::vector<std::string>{"cancelled"});
}

INSTANTIATE_TEST_SUITE_P(
    EveryFault, URLErrorPredicates,
    ::testing::Values(Row{Fault::connectionRefused, {"cannotConnect"}},
                      Row{Fault::closedBeforeAnswer, {"connectionLost"}},
                      Row{Fault::truncatedBody, {"connectionLost"}},
                      Row{Fault::connectionReset, {"connectionLost"}},
                      Row{Fault::stall, {"timedOut"}}, Row{Fault::notHTTP, {"badServerResponse"}},
                      Row{Fault::untrustedCertificate, {"secureConnectionFailed"}},
                      Row{Fault::http2StreamReset, {"connectionLost"}},
                      Row{Fault::http2GoAway, {"connectionLost"}}),
    rowName);

}  // namespace
}  // namespace tamsenor
