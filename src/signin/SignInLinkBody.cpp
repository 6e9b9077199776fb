#include "signin/SignInLinkBody.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/string_view.hpp>

#include "support/UTF8Validation.hpp"

namespace tamsenor::detail {

std::optional<std::string> signInLinkBody(std::string_view address) {
  // The serializer escapes quotes, backslashes and control characters, so no address can end the
  // string early or add members; other bytes it copies as they are, invalid UTF-8 included.
  if (!isValidUTF8(address)) return std::nullopt;
  // The blank after the colon is part of the wire format the server has always received.
  return R"({"email": )" + boost::json::serialize(boost::json::string_view(address)) + "}";
}

}  // namespace tamsenor::detail
