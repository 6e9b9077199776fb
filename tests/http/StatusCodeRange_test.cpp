#include "tamsenor/http/StatusCodeRange.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace tamsenor {
namespace {

TEST(StatusCodeRange, BoundsAreInclusive) {
  const StatusCodeRange range(500, 599);
  EXPECT_FALSE(range.contains(499));
  EXPECT_TRUE(range.contains(500));
  EXPECT_TRUE(range.contains(550));
  EXPECT_TRUE(range.contains(599));
  EXPECT_FALSE(range.contains(600));
  EXPECT_EQ(range.lower(), 500);
  EXPECT_EQ(range.upper(), 599);
}

TEST(StatusCodeRange, SingleCodeRangeHoldsExactlyThatCode) {
  constexpr StatusCodeRange range(503, 503);
  static_assert(range.contains(503) && !range.contains(502) && !range.contains(504));
  EXPECT_EQ(range, StatusCodeRange(503, 503));
  EXPECT_NE(range, StatusCodeRange(503, 504));
}

TEST(StatusCodeRange, WholeSignedRangeHoldsEveryCode) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const StatusCodeRange range(kMin, kMax);
  EXPECT_TRUE(range.contains(kMin));
  EXPECT_TRUE(range.contains(-1));
  EXPECT_TRUE(range.contains(kMax));
}

TEST(StatusCodeRange, ReversedRangeIsRejectedAtConstruction) {
  EXPECT_THROW(StatusCodeRange(599, 500), std::invalid_argument);
  EXPECT_THROW(StatusCodeRange(0, -1), std::invalid_argument);
  EXPECT_NO_THROW(StatusCodeRange(-1, -1));
}

}  // namespace
}  // namespace tamsenor
