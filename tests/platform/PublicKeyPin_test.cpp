#include "tamsenor/platform/PublicKeyPin.hpp"

#include <gtest/gtest.h>

namespace tamsenor {
namespace {

TEST(PublicKeyPin, ParsesOnlyTheCanonicalBase64OfA32ByteHash) {
  const std::string hash = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
  EXPECT_EQ(PublicKeyPin::parse("sha256/" + hash)->base64(), hash);
  for (const auto& malformed : std::vector<std::string>{
           "sha256/47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFV=",  // bits past the hash
           "sha256//" + hash, "SHA256/" + hash, "sha256/" + hash.substr(0, 43),
           "sha256/" + hash + "=",
           "sha256/47DEQpj8HBSa-_TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", std::string()}) {
    EXPECT_FALSE(PublicKeyPin::parse(malformed)) << malformed;
  }
}

}  // namespace
}  // namespace tamsenor
