// Header validation against an independent reading of the rules: a request is accepted exactly
// when its scheme is allowed, its URL has no user information, its method and every field name
// are tokens (visible ASCII other than the delimiters), no value holds a control character other
// than tab, no field is one the transport writes, and its head written out as HTTP/1.1 text is at
// most 64 KiB; a refusal carries the code of the first rule broken and a description on one line.
// After the fields, two bytes give the length of a padding field and a string the URL's user
// information, so that inputs reach both rules.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "FuzzInput.hpp"
#include "platform/URLRequestValidation.hpp"

namespace {

bool isToken(std::string_view text) {
  constexpr std::string_view kDelimiters = "\"(),/:;<=>?@[\\]{}";
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && kDelimiters.find(c) == std::string_view::npos;
  });
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ownedByTransport(std::string_view name) {
  const auto lower = lowered(name);
  return lower == "host" || lower == "content-length" || lower == "transfer-encoding" ||
         lower == "connection" || lower == "expect";
}

bool holdsLineBreakOrNUL(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool holdsControlOtherThanTab(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte <= 0x1f && byte != 0x09) || byte == 0x7f;
  });
}

// Between "://" and the first "/", "?" or "#".
bool hasUserInformation(std::string_view url) {
  const auto start = url.find("://") + 3;
  const auto authority = url.substr(start, url.find_first_of("/?#", start) - start);
  return authority.find('@') != std::string_view::npos;
}

// The head as it would go out over HTTP/1.1, the absolute URL standing for target and Host.
std::string head(const tamsenor::URLRequest& request) {
  std::string text = request.httpMethod() + " " + request.url().absoluteString() + " HTTP/1.1\r\n";
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    text += name + ": " + value + "\r\n";
  }
  return text + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tamsenor::fuzz::FuzzInput input(data, size);
  const std::string scheme = input.string();
  const std::string method = input.string();
  const std::array<std::vector<std::string>, 6> allowedChoices{
      {{"https"}, {"http"}, {"http", "https"}, {"HTTPS"}, {}, {"ftp", "https"}}};
  const auto& allowed = allowedChoices[input.byte() % allowedChoices.size()];

  auto url = tamsenor::URL::parse(scheme + "://api.example.test/v0/");
  if (!url) url = tamsenor::URL::parse("https://api.example.test/v0/");
  tamsenor::URLRequest request(*url);
  request.setHTTPMethod(method);
  for (int i = 0; i < 8; ++i) {
    std::string name = input.string();
    std::string value = input.string();
    if (name.empty() && value.empty()) break;
    request.setValue(std::move(value), name);
  }
  const std::size_t padding = std::size_t{input.byte()} << 8 | input.byte();
  if (padding > 0) request.setValue(std::string(padding, 'p'), "X-Padding");
  if (const auto userInformation = input.string(); !userInformation.empty()) {
    const auto withUser =
        tamsenor::URL::parse(scheme + "://" + userInformation + "@api.example.test/v0/");
    if (withUser) request.setURL(*withUser);
  }

  // The first rule broken, in the order scheme, user information, method, fields in order, size.
  std::int64_t expected = 0;
  const auto usedScheme = lowered(request.url().scheme());
  const bool schemeAllowed = (usedScheme == "http" || usedScheme == "https") &&
                             std::any_of(allowed.begin(), allowed.end(), [&](const std::string& a) {
                               return lowered(a) == usedScheme;
                             });
  if (!schemeAllowed) {
    expected = tamsenor::URLError::unsupportedScheme;
  } else if (hasUserInformation(request.url().absoluteString())) {
    expected = tamsenor::URLError::userInfoInURL;
  } else if (!isToken(request.httpMethod())) {
    expected = tamsenor::URLError::invalidHTTPMethod;
  } else {
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
      if (!isToken(name) || ownedByTransport(name) || holdsControlOtherThanTab(value)) {
        expected = tamsenor::URLError::invalidHeaderField;
        break;
      }
    }
    if (expected == 0 && head(request).size() > 64 * 1024) {
      expected = tamsenor::URLError::requestHeadTooLarge;
    }
  }

  const auto refusal = tamsenor::detail::validateRequest(request, allowed);
  if (!refusal) {
    TAMSENOR_FUZZ_CHECK(expected == 0);
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
      TAMSENOR_FUZZ_CHECK(isToken(name) && !holdsLineBreakOrNUL(name));
      TAMSENOR_FUZZ_CHECK(!holdsControlOtherThanTab(value));
    }
    return 0;
  }
  TAMSENOR_FUZZ_CHECK(refusal->code() == expected);
  TAMSENOR_FUZZ_CHECK(!holdsLineBreakOrNUL(refusal->description()));
  return 0;
}
