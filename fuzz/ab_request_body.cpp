// The A/B request body: writing then reading gives the record back, and writing refuses exactly
// the records holding text that is not UTF-8.
#include "FuzzCheck.hpp"
#include "FuzzInput.hpp"
#include "Utf8.hpp"
#include "abtesting/RemoteABTestRecords.hpp"

using namespace tamsenor::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tamsenor::fuzz::FuzzInput input(data, size);
  RemoteABTestConfigRequest request{input.string(), {}};
  bool allUTF8 = tamsenor::fuzz::isValidUTF8(request.mobile_guid);
  for (std::uint8_t count = input.byte() % 16; count > 0; --count) {
    const auto type = input.byte() % 2 == 0 ? RemoteABTestRequestType::tamsenorTest
                                            : RemoteABTestRequestType::exposeTamsenorTest;
    request.tests.push_back({type, input.string()});
    allUTF8 = allUTF8 && tamsenor::fuzz::isValidUTF8(request.tests.back().test_name);
  }
  const auto body = encode(request);
  TAMSENOR_FUZZ_CHECK(body.has_value() == allUTF8);
  if (!body) return 0;
  const auto decoded = decodeConfigRequest(tamsenor::asText(*body));
  TAMSENOR_FUZZ_CHECK(decoded.has_value() && *decoded == request);
  return 0;
}
