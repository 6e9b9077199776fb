#include "tamsenor/abtesting/MobileAppABTestRequestType.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace tamsenor {
namespace {

TEST(MobileAppABTestRequestType, EqualOnlyToTheSameCase) {
  EXPECT_EQ(MobileAppABTestRequestType::tamsenorTest, MobileAppABTestRequestType::tamsenorTest);
  EXPECT_NE(MobileAppABTestRequestType::tamsenorTest,
            MobileAppABTestRequestType::exposeTamsenorTest);
}

TEST(MobileAppABTestRequestType, HashesByCase) {
  const std::hash<MobileAppABTestRequestType> hash;
  EXPECT_EQ(hash(MobileAppABTestRequestType::exposeTamsenorTest),
            hash(MobileAppABTestRequestType::exposeTamsenorTest));
  const std::unordered_set<MobileAppABTestRequestType> seen{
      MobileAppABTestRequestType::tamsenorTest, MobileAppABTestRequestType::exposeTamsenorTest,
      MobileAppABTestRequestType::tamsenorTest};
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace tamsenor
