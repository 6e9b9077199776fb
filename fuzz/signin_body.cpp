// The sign-in body for any address: valid JSON with exactly one member, "email", equal to the
// address; byte for byte the plain form when the address needs no escaping; refused only when
// the address is not UTF-8.
#include <boost/json.hpp>
#include <string>

#include "FuzzCheck.hpp"
#include "Utf8.hpp"
#include "signin/SignInLinkBody.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string address(reinterpret_cast<const char*>(data), size);
  const auto body = tamsenor::detail::signInLinkBody(address);
  TAMSENOR_FUZZ_CHECK(body.has_value() == tamsenor::fuzz::isValidUTF8(address));
  if (!body) return 0;

  boost::system::error_code error;
  const boost::json::value parsed = boost::json::parse(*body, error);
  TAMSENOR_FUZZ_CHECK(!error && parsed.is_object());
  const auto& object = parsed.get_object();
  TAMSENOR_FUZZ_CHECK(object.size() == 1);
  const auto* email = object.if_contains("email");
  TAMSENOR_FUZZ_CHECK(email != nullptr && email->is_string());
  TAMSENOR_FUZZ_CHECK(std::string_view(email->get_string()) == address);

  bool plain = true;
  for (const char c : address) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) plain = false;
  }
  if (plain) TAMSENOR_FUZZ_CHECK(*body == R"({"email": ")" + address + R"("})");
  return 0;
}
