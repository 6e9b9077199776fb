#include "tamsenor/endpoints/String.hpp"

#include <gtest/gtest.h>

namespace tamsenor {
namespace {

TEST(String, ApplicationJSONReadsApplicationJsonUntilAssignedAndKeepsAnAssignment) {
  EXPECT_EQ(String::applicationJSON(), "application/json");
  String::applicationJSON() = "application/vnd.tamsenor+json";
  EXPECT_EQ(String::applicationJSON(), "application/vnd.tamsenor+json");
  String::applicationJSON() = "application/json";
}

}  // namespace
}  // namespace tamsenor
