#include "tamsenor/abtesting/framework/ABTestState.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "tamsenor/abtesting/framework/ABTestResponse.hpp"

namespace tamsenor {
namespace {

TEST(ABTestState, EqualityTakesCaseAndBucket) {
  EXPECT_EQ(ABTestState::active("a"), ABTestState::active("a"));
  EXPECT_NE(ABTestState::active("a"), ABTestState::active("b"));
  EXPECT_NE(ABTestState::active("a"), ABTestState::finished("a"));
  EXPECT_EQ(ABTestState::inactive(), ABTestState::inactive());
  // An empty bucket is a bucket: active("") is not inactive.
  EXPECT_NE(ABTestState::active(""), ABTestState::inactive());
}

TEST(ABTestState, OnlyActiveAndFinishedCarryABucket) {
  EXPECT_EQ(ABTestState::active("b").bucket(), std::optional<std::string_view>("b"));
  EXPECT_EQ(ABTestState::finished("").bucket(), std::optional<std::string_view>(""));
  EXPECT_EQ(ABTestState::inactive().bucket(), std::nullopt);
  EXPECT_EQ(ABTestState::finished("x").kind(), ABTestState::Case::finished);
}

TEST(ABTestState, PrintsReadably) {
  std::ostringstream out;
  out << ABTestState::active("variant_b") << '|' << ABTestState::finished("") << '|'
      << ABTestState::inactive() << '|' << ABTestResponse{"onboarding", ABTestState::inactive()};
  EXPECT_EQ(out.str(), "active(variant_b)|finished()|inactive|onboarding: inactive");
}

}  // namespace
}  // namespace tamsenor
