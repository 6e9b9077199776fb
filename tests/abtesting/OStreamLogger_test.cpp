#include "tamsenor/abtesting/framework/OStreamLogger.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tamsenor {
namespace {

TEST(OStreamLogger, WritesSeverityFunctionAndMessageOneLinePerRecord) {
  std::ostringstream out;
  OStreamLogger logger(out);
  logger.error("Unknown ABTest: a not included in response", "RemoteABTestService.cpp",
               "fetchBucketsForTests(_:completion:)", 42);
  logger.warning("HTTPClient returned networkError: Timeout.", "X.cpp", "f()", 7);
  EXPECT_EQ(out.str(),
            "error: fetchBucketsForTests(_:completion:): Unknown ABTest: a not included in "
            "response\n"
            "warning: f(): HTTPClient returned networkError: Timeout.\n");
}

TEST(OStreamLogger, AddsFileAndLineWhenAsked) {
  std::ostringstream out;
  OStreamLogger logger(out, OStreamLogger::Location::included);
  logger.error("m", "RemoteABTestService.cpp", "exposeBucket(_:forTest:completion:)", 120);
  EXPECT_EQ(out.str(),
            "error: RemoteABTestService.cpp:120: exposeBucket(_:forTest:completion:): m\n");
}

TEST(OStreamLogger, SeveritiesHaveTheirNames) {
  EXPECT_EQ(to_string(LogSeverity::warning), "warning");
  EXPECT_EQ(to_string(LogSeverity::error), "error");
}

}  // namespace
}  // namespace tamsenor
