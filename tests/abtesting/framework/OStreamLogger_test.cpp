#include "tamsenor/abtesting/framework/OStreamLogger.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tamsenor {
namespace {

TEST(OStreamLogger, WritesOneLinePerRecordWithFileAndLineWhenAsked) {
  std::ostringstream out;
  OStreamLogger plain(out);
  OStreamLogger located(out, OStreamLogger::Location::included);
  plain.error("Unknown ABTest: a not included in response", "A.cpp", "fetch()", 42);
  plain.warning("HTTPClient returned networkError: Timeout.", "B.cpp", "f()", 7);
  located.error("m", "RemoteABTestService.cpp", "expose()", 120);
  EXPECT_EQ(out.str(),
            "error: fetch(): Unknown ABTest: a not included in response\n"
            "warning: f(): HTTPClient returned networkError: Timeout.\n"
            "error: RemoteABTestService.cpp:120: expose(): m\n");
}

}  // namespace
}  // namespace tamsenor
