#include "tamsenor/platform/PublicKeyPin.hpp"

#include <gtest/gtest.h>

namespace tamsenor {
namespace {

TEST(PublicKeyPin, ParsesOnlyTheCanonicalBase64OfA32ByteHash) {
  const std::string hash = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
  const struct {
    std::string text;
    bool pin;
  } rows[] = {
      {"sha256/" + hash, true},
      {"sha256/" + std::string(43, '/') + "=", false},  // '/' leaves bits past the hash set
      {"sha256/" + std::string(42, '/') + "w=", true},
      {"sha256//" + hash, false},  // libcurl's spelling
      {"SHA256/" + hash, false},
      {"sha1/" + hash, false},
      {"sha256/" + hash.substr(0, 43), false},
      {"sha256/" + hash + "=", false},
      {"sha256/" + hash.substr(0, 42) + "==", false},
      {"sha256/47DEQpj8HBSa-_TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", false},  // base64url
      {"sha256/ " + hash.substr(1), false},
      {"", false},
  };
  for (const auto& row : rows) {
    const auto pin = PublicKeyPin::parse(row.text);
    EXPECT_EQ(pin.has_value(), row.pin) << row.text;
    if (pin) {
      EXPECT_EQ("sha256/" + pin->base64(), row.text);
    }
  }
}

}  // namespace
}  // namespace tamsenor
