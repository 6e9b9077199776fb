#include "tamsenor/signin/MagicLinkSignInService.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <unordered_set>

namespace tamsenor {
namespace {

using Error = MagicLinkSignInService::Error;

TEST(MagicLinkSignInService, ErrorCasesKeepTheirOrderAndNames) {
  EXPECT_EQ(static_cast<int>(Error::clientError), 0);
  EXPECT_EQ(static_cast<int>(Error::invalidEmail), 1);
  EXPECT_EQ(to_string(Error::clientError), "clientError");
  EXPECT_EQ(to_string(Error::invalidEmail), "invalidEmail");
  std::ostringstream out;
  out << Error::invalidEmail << "," << Error::clientError;
  EXPECT_EQ(out.str(), "invalidEmail,clientError");
}

TEST(MagicLinkSignInService, ErrorsCompareAndHashByCase) {
  const std::unordered_set<Error> seen = {Error::clientError, Error::invalidEmail,
                                          Error::clientError};
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(std::hash<Error>{}(Error::clientError), std::hash<Error>{}(Error::clientError));
  EXPECT_NE(Error::clientError, Error::invalidEmail);
}

}  // namespace
}  // namespace tamsenor
