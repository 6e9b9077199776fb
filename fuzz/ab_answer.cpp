// A/B answers from a hostile server: decoding never crashes; a decoded answer written back (by
// Boost.JSON: the library writes no answers) and read again is equal; and fetching and exposing
// with that answer log only the service's own records and complete exactly once.
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "abtesting/RemoteABTestRecords.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace {

using namespace tamsenor;

// Keeps what the service logs, for the checks at the end.
class RecordingLogger final : public Logger {
 public:
  struct Record {
    LogSeverity severity;
    std::string message, file;
    unsigned line;
  };
  void log(LogSeverity severity, std::string_view message, std::string_view file, std::string_view,
           unsigned line) override {
    records.push_back({severity, std::string(message), std::string(file), line});
  }
  std::vector<Record> records;
};

// The answer as the server would write it.
std::string written(const detail::RemoteABTestConfigResponse& answer) {
  boost::json::array tests;
  for (const auto& entry : answer.tests) {
    boost::json::object object{{"test_name", entry.test_name}, {"state", to_string(entry.state)}};
    if (entry.selected_bucket) object["selected_bucket"] = *entry.selected_bucket;
    tests.push_back(std::move(object));
  }
  return boost::json::serialize(
      boost::json::object{{"success", answer.success}, {"tests", std::move(tests)}});
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

// The records the service can write for a 200 answer: its decoding, presence, mapping and
// exposure records.
bool isKnownRecord(std::string_view message) {
  if (message == "Failed to decode data into successful RemoteABTestConfigResponse") return true;
  if (startsWith(message, "Unknown ABTest: ")) {
    return message.ends_with(" not included in response") ||
           message.ends_with(" is not present on the server");
  }
  if (startsWith(message, "Invalid Response from server: ")) {
    return message.ends_with(" was marked as active but did not specify a selected bucket.") ||
           message.ends_with(" was marked as finished but did not specify a selected bucket.") ||
           message.ends_with(" returned no matching response.");
  }
  if (startsWith(message, "Mismatched ABTest default: ")) {
    return message.find(" local default: ") != std::string_view::npos &&
           message.find(" server default: ") != std::string_view::npos;
  }
  if (startsWith(message, "Invalid ABTest variant: ")) return true;
  if (startsWith(message, "Exposed incorrect ABTest variant: ")) {
    return message.find(" server exposed: ") != std::string_view::npos &&
           message.find(", client expected: ") != std::string_view::npos && message.ends_with(".");
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (const auto answer = detail::decodeConfigResponse(body)) {
    TAMSENOR_FUZZ_CHECK(detail::decodeConfigResponse(written(*answer)) == answer);
  }

  auto client = testing::ScriptedHTTPClient::create();
  auto logger = std::make_shared<RecordingLogger>();
  auto service = RemoteABTestService::create(client, "device", logger);
  const std::vector<ABTest> tests{{"onboarding", {"a", "b"}, "a"}, {"", {""}, ""}, {"x", {}, "z"}};
  int completions = 0;
  client->answerNext(200, body);
  service->fetchBucketsForTests(tests, [&](const auto& result) {
    ++completions;
    if (result) TAMSENOR_FUZZ_CHECK(!result.value().empty() && result.value().size() <= 3);
  });
  client->answerNext(200, body);
  service->exposeBucket("b", tests[0], [&](const auto&) { ++completions; });
  TAMSENOR_FUZZ_CHECK(completions == 2);
  for (const auto& record : logger->records) {
    TAMSENOR_FUZZ_CHECK(record.severity == LogSeverity::error);
    TAMSENOR_FUZZ_CHECK(isKnownRecord(record.message));
    TAMSENOR_FUZZ_CHECK(record.file == "RemoteABTestService.cpp" && record.line > 0);
  }
  return 0;
}
