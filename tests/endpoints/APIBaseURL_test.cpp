#include "tamsenor/endpoints/APIBaseURL.hpp"

#include <gtest/gtest.h>

namespace tamsenor {
namespace {

TEST(APIBaseURL, IsHttpsTheConfiguredHostAndVersionPath) {
  EXPECT_EQ(apiBaseURL().absoluteString(), "https://" TAMSENOR_API_HOST "/v0/");
  EXPECT_EQ(apiBaseURL().scheme(), "https");
  EXPECT_EQ(apiBaseURL().authority(), TAMSENOR_API_HOST);
  EXPECT_EQ(apiBaseURL().path(), "/v0/");
  EXPECT_FALSE(apiBaseURL().query().has_value());
}

}  // namespace
}  // namespace tamsenor
