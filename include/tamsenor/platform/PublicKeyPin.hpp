#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// A pinned public key: the SHA-256 hash of a server certificate's DER SubjectPublicKeyInfo, as
// "sha256/" and the hash in base64 (44 characters). parse() is the only way to make one, so a
// session's configuration can hold no malformed pin.
//
//   auto pin = PublicKeyPin::parse("sha256/47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
//   if (!pin) ...  // not a pin
class TAMSENOR_EXPORT PublicKeyPin {
 public:
  // A pin, or nothing unless `text` is "sha256/" and the canonical base64 of exactly 32 bytes.
  [[nodiscard]] static std::optional<PublicKeyPin> parse(std::string_view text);

  // The hash in base64, without the "sha256/".
  [[nodiscard]] const std::string& base64() const noexcept { return base64_; }

  friend bool operator==(const PublicKeyPin&, const PublicKeyPin&) = default;

 private:
  explicit PublicKeyPin(std::string base64) : base64_(std::move(base64)) {}

  std::string base64_;
};

}  // namespace tamsenor
