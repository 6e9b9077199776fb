#include "tamsenor/Version.hpp"

#include <gtest/gtest.h>

#include <string_view>

TEST(Version, SymbolsHoldTheProjectVersion) {
  EXPECT_EQ(TamsenorAPIVersionNumber, 490.0);
  EXPECT_EQ(std::string_view(TamsenorAPIVersionString),
            "@(#)PROGRAM:TamsenorAPI  PROJECT:Tamsenor-490\n");
}
