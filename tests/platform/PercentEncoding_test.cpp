#include "platform/PercentEncoding.hpp"

#include <gtest/gtest.h>

#include "support/FormDecoding.hpp"
#include "tamsenor/platform/URL.hpp"

namespace tamsenor {
namespace {

TEST(PercentEncoding, LeavesOnlyUnreservedCharactersAsTheyAre) {
  std::string out = "x=";
  detail::appendPercentEncoded(out, "AZaz09-._~ !*'();:@&=+$,/?#[]%\"\x7F\xC3\xA9");
  EXPECT_EQ(out,
            "x=AZaz09-._~%20%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%23%5B%5D%25%22%7F%C3%A9");
}

TEST(PercentEncoding, EveryByteSurvivesAPathSegmentAndAFormRoundTrip) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  std::string encoded;
  detail::appendPercentEncoded(encoded, allBytes);
  EXPECT_EQ(testsupport::percentDecode(encoded, /*plusIsSpace=*/true), allBytes);
  EXPECT_EQ(testsupport::percentDecode(encoded, /*plusIsSpace=*/false), allBytes);

  const URL url = URL::parse("https://h.test/v0/")->appendingPathComponent(allBytes);
  const auto segments = testsupport::decodePathSegments(url.path().substr(1));
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0], "v0");
  EXPECT_EQ(segments[1], allBytes);
}

}  // namespace
}  // namespace tamsenor
