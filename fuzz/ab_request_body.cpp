// The A/B request body: read back by Boost.JSON it holds exactly the guid and one entry of the
// type per test, and byte for byte the plain form when no string needs escaping; writing refuses
// exactly the bodies holding text that is not UTF-8.
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <vector>

#include "FuzzCheck.hpp"
#include "FuzzInput.hpp"
#include "Utf8.hpp"
#include "abtesting/RemoteABTestRecords.hpp"

using namespace tamsenor;
using namespace tamsenor::detail;

namespace {

bool plain(std::string_view text) {
  for (const char c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const std::string guid = input.string();
  const std::uint8_t head = input.byte();
  const auto type = head & 0x10 ? RemoteABTestRequestType::exposeTamsenorTest
                                : RemoteABTestRequestType::tamsenorTest;
  std::vector<ABTest> tests(head % 16);
  bool allUTF8 = fuzz::isValidUTF8(guid);
  bool allPlain = plain(guid);
  for (auto& test : tests) {
    test.name = input.string();
    allUTF8 = allUTF8 && fuzz::isValidUTF8(test.name);
    allPlain = allPlain && plain(test.name);
  }
  const auto body = encodeConfigRequest(guid, type, tests);
  TAMSENOR_FUZZ_CHECK(body.has_value() == allUTF8);
  if (!body) return 0;

  boost::system::error_code error;
  const boost::json::value parsed = boost::json::parse(asText(*body), error);
  TAMSENOR_FUZZ_CHECK(!error && parsed.is_object() && parsed.get_object().size() == 2);
  TAMSENOR_FUZZ_CHECK(parsed.at("mobile_guid").as_string() == guid);
  const auto& entries = parsed.at("tests").as_array();
  TAMSENOR_FUZZ_CHECK(entries.size() == tests.size());
  std::string expected = R"({"mobile_guid":")" + guid + R"(","tests":[)";
  for (std::size_t i = 0; i < tests.size(); ++i) {
    const auto& entry = entries[i].as_object();
    TAMSENOR_FUZZ_CHECK(entry.size() == 2 && entry.at("type").as_string() == to_string(type));
    TAMSENOR_FUZZ_CHECK(entry.at("test_name").as_string() == tests[i].name);
    expected += std::string(i > 0 ? "," : "") + R"({"type":")" + std::string(to_string(type)) +
                R"(","test_name":")" + tests[i].name + R"("})";
  }
  if (allPlain) TAMSENOR_FUZZ_CHECK(asText(*body) == expected + "]}");
  return 0;
}
