#include "tamsenor/Version.hpp"

#include <gtest/gtest.h>

TEST(Version, SymbolsHoldTheProjectVersion) {
  EXPECT_EQ(TamsenorAPIVersionNumber, 490.0);
  EXPECT_STREQ(TamsenorAPIVersionString, "@(#)PROGRAM:TamsenorAPI  PROJECT:Tamsenor-490\n");
}
