// A signing token goes out on every attempt and comes back in no log record and no error text,
// whatever fault the transport meets.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/CompletionRecorder.hpp"
#include "support/FaultBench.hpp"
#include "support/RecordingLogger.hpp"
#include "support/ReleaseSessionHere.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultBench;
using Fault = FaultBench::Fault;

const std::string kToken = "tmsn-signing-secret-5e1f0c9a77b2";

URLRequest signRequest(URLRequest request) {
  request.setValue("Bearer " + kToken, "Authorization");
  return request;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

class SigningTokenSecrecy : public ::testing::TestWithParam<Fault> {};

TEST_P(SigningTokenSecrecy, NeverInALogRecordOrAnErrorText) {
  FaultBench bench(GetParam(), [](std::size_t) { return FaultBench::Step::fault; });
  auto session = bench.session();
  auto stack = bench.client("TamsenorSecrecy/1.0", session)
                   ->withAuthentication(&signRequest)
                   ->withRetries(1, StatusCodeRange(500, 599));

  auto results = std::make_shared<CompletionRecorder<HTTPClientResult>>();
  stack->perform(bench.request(),
                 [results](HTTPClientResult result) { results->record(std::move(result)); });
  ASSERT_TRUE(results->waitFor(1, 30s));

  auto lines = std::make_shared<CompletionRecorder<std::string>>();
  auto signInOutcomes =
      std::make_shared<CompletionRecorder<std::optional<MagicLinkSignInService::Error>>>();
  auto signIn = RemoteMagicLinkSignInService::create(
      stack, [lines](const std::string& line) { lines->record(line); });
  signIn->sendEmail("reader@example.org",
                    [signInOutcomes](auto error) { signInOutcomes->record(error); });
  ASSERT_TRUE(signInOutcomes->waitFor(1, 30s));

  auto logger = std::make_shared<testsupport::RecordingLogger>();
  auto abTesting = RemoteABTestService::create(stack, "device-guid-1", logger);
  const ABTest test{"onboarding", {"a", "b"}, "a"};
  auto fetched = std::make_shared<CompletionRecorder<RemoteABTestService::FetchResult>>();
  abTesting->fetchBucketsForTests({test}, [fetched](auto result) { fetched->record(result); });
  ASSERT_TRUE(fetched->waitFor(1, 30s));
  auto exposed = std::make_shared<CompletionRecorder<RemoteABTestService::ExposeResult>>();
  abTesting->exposeBucket("a", test, [exposed](auto result) { exposed->record(result); });
  ASSERT_TRUE(exposed->waitFor(1, 30s));

  abTesting.reset();
  signIn.reset();
  stack.reset();
  testsupport::releaseSessionHere(session);

  // Four operations, two attempts each, every attempt signed.
  EXPECT_EQ(bench.clientAttempts(), 8u);
  std::vector<std::string> texts;

  const auto result = results->entries().front().value;
  ASSERT_FALSE(result.hasValue());
  ASSERT_TRUE(result.error().underlyingError().has_value());
  EXPECT_EQ(result.error().underlyingError()->code(), FaultBench::curlCode(GetParam()));
  texts.push_back(to_string(result.error()));
  texts.push_back(result.error().underlyingError()->description());

  EXPECT_EQ(signInOutcomes->entries().front().value, MagicLinkSignInService::Error::clientError);
  ASSERT_EQ(lines->count(), 1u);
  const auto line = lines->entries().front().value;
  EXPECT_TRUE(startsWith(line,
                         "RemoteMagicLinkSignInService: Failed to send email to reader@example.org"
                         " - HTTP Client post failed with error networkError("))
      << line;
  EXPECT_EQ(line.back(), ')');
  texts.push_back(line);

  ASSERT_FALSE(fetched->entries().front().value.hasValue());
  EXPECT_EQ(fetched->entries().front().value.error(), RemoteABTestService::Error::networkError);
  ASSERT_FALSE(exposed->entries().front().value.hasValue());
  EXPECT_EQ(exposed->entries().front().value.error(), RemoteABTestService::Error::networkError);
  ASSERT_EQ(logger->records().size(), 2u);
  for (const auto& record : logger->records()) {
    EXPECT_EQ(record.severity, LogSeverity::warning);
    EXPECT_TRUE(startsWith(record.message, "HTTPClient returned networkError: ")) << record.message;
    EXPECT_EQ(record.message.back(), '.');
    texts.push_back(record.message);
    texts.push_back(record.file);
    texts.push_back(record.function);
  }

  for (const auto& text : texts) {
    EXPECT_EQ(text.find(kToken), std::string::npos) << text;
  }

  // The token really was on the wire wherever a server could read it in the clear.
  const auto heads = bench.heads();
  const bool readable = GetParam() != Fault::connectionRefused &&
                        GetParam() != Fault::untrustedCertificate &&
                        GetParam() != Fault::http2StreamReset && GetParam() != Fault::http2GoAway;
  EXPECT_EQ(heads.size(), readable ? 8u : 0u);
  for (const auto& head : heads) {
    EXPECT_NE(head.find("\r\nAuthorization: Bearer " + kToken + "\r\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFault, SigningTokenSecrecy,
                         ::testing::ValuesIn(FaultBench::kAllFaults),
                         [](const ::testing::TestParamInfo<Fault>& faultInfo) {
                           return std::string(FaultBench::name(faultInfo.param));
                         });

}  // namespace
}  // namespace tamsenor
