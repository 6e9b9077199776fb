#include "signin/SignInLinkBody.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

namespace tamsenor::detail {

std::optional<std::string> signInLinkBody(std::string_view address) {
  // The serializer escapes quotes, backslashes and control characters, so no address can end the
  // string early or add members. It copies other bytes as they are, invalid UTF-8 included; the
  // parser rejects that, so reading our own string back is the check.
  std::string quoted = boost::json::serialize(boost::json::string_view(address));
  boost::system::error_code error;
  (void)boost::json::parse(quoted, error);
  if (error) return std::nullopt;
  // The blank after the colon is part of the wire format the server has always received.
  return R"({"email": )" + quoted + "}";
}

}  // namespace tamsenor::detail
