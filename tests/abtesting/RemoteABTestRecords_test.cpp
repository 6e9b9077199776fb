#include "abtesting/RemoteABTestRecords.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tamsenor::detail {

// Readable failure output for the tables below.
void PrintTo(const RemoteABTestConfigResponse& record, std::ostream* out) {
  *out << "{success=" << record.success << " tests=[";
  for (const auto& entry : record.tests) {
    *out << " {" << entry.test_name << ' ' << to_string(entry.state) << ' '
         << (entry.selected_bucket ? '"' + *entry.selected_bucket + '"' : "none") << '}';
  }
  *out << " ]}";
}

namespace {

using State = RemoteABTestState;

RemoteABTestResponse entry(std::string name, State state,
                           std::optional<std::string> bucket = std::nullopt) {
  return {std::move(name), state, std::move(bucket)};
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct BodyCase {
  std::string name;
  std::string body;
  std::optional<RemoteABTestConfigResponse> expected;  // nothing: unreadable
};

void PrintTo(const BodyCase& row, std::ostream* out) { *out << row.name; }

class RemoteABTestRecordsReading : public ::testing::TestWithParam<BodyCase> {};

TEST_P(RemoteABTestRecordsReading, ReadsExactlyWhatTheTableSays) {
  const auto& row = GetParam();
  EXPECT_EQ(decodeConfigResponse(row.body), row.expected) << row.body;
}

const std::optional<RemoteABTestConfigResponse> kUnreadable = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Examples, RemoteABTestRecordsReading,
    ::testing::Values(
        BodyCase{
            "ActiveWithBucket",
            R"({"success":true,"tests":[{"test_name":"onboarding","state":"active","selected_bucket":"variant_b"}]})",
            RemoteABTestConfigResponse{true, {entry("onboarding", State::active, "variant_b")}}},
        BodyCase{
            "NullBucketIsNoBucket",
            R"({"success":true,"tests":[{"test_name":"a","state":"inactive","selected_bucket":null}]})",
            RemoteABTestConfigResponse{true, {entry("a", State::inactive)}}},
        BodyCase{"AbsentBucketIsNoBucket",
                 R"({"success":true,"tests":[{"test_name":"a","state":"inactive"}]})",
                 RemoteABTestConfigResponse{true, {entry("a", State::inactive)}}},
        BodyCase{
            "EmptyBucketIsABucket",
            R"({"success":true,"tests":[{"test_name":"a","state":"finished","selected_bucket":""}]})",
            RemoteABTestConfigResponse{true, {entry("a", State::finished, "")}}},
        BodyCase{
            "UnknownKeysAreIgnoredWhateverTheyHold",
            R"({"extra":{"tests":5,"success":[null]},"success":true,"more":[1,"x",{"a":[]}],)"
            R"("tests":[{"why":null,"test_name":"a","state":"active","selected_bucket":"b","n":-1.5e3}]})",
            RemoteABTestConfigResponse{true, {entry("a", State::active, "b")}}},
        BodyCase{"SuccessFalseIsReadable", R"({"success":false,"tests":[]})",
                 RemoteABTestConfigResponse{false, {}}},
        BodyCase{"EmptyTestsAreReadable", R"({"success":true,"tests":[]})",
                 RemoteABTestConfigResponse{true, {}}},
        BodyCase{
            "KeyOrderDoesNotMatter",
            R"({"tests":[{"selected_bucket":"x","state":"finished","test_name":"t"}],"success":true})",
            RemoteABTestConfigResponse{true, {entry("t", State::finished, "x")}}},
        BodyCase{
            "EntriesKeepTheServersOrderAndRepeats",
            R"({"success":true,"tests":[{"test_name":"b","state":"inactive"},{"test_name":"a","state":"active","selected_bucket":"1"},{"test_name":"b","state":"finished","selected_bucket":"2"}]})",
            RemoteABTestConfigResponse{true,
                                       {entry("b", State::inactive), entry("a", State::active, "1"),
                                        entry("b", State::finished, "2")}}},
        BodyCase{"EscapesAndWhitespaceAreJSONs",
                 " \n{ \"success\" : true , \"tests\" : [ { \"test_name\" : "
                 "\"on\\u0062oarding\\n\\u00e9\" ,"
                 " \"state\" : \"active\" , \"selected_bucket\" : \"\\\"q\\\"\\\\\" } ] } \t",
                 RemoteABTestConfigResponse{
                     true, {entry("onboarding\n\xc3\xa9", State::active, "\"q\"\\")}}},
        BodyCase{"HugeNumbersUnderUnknownKeysAreHarmless",
                 R"({"success":true,"tests":[],"big":1e400,"long":123456789012345678901234567890})",
                 RemoteABTestConfigResponse{true, {}}},
        BodyCase{"RepeatedUnknownKeysAreIgnored", R"({"success":true,"x":1,"x":2,"tests":[]})",
                 RemoteABTestConfigResponse{true, {}}},
        BodyCase{"NestingWithinTheLimitUnderAnUnknownKey",
                 R"({"success":true,"tests":[],"deep":)" + nested(29) + "}",
                 RemoteABTestConfigResponse{true, {}}}),
    [](const auto& row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Failures, RemoteABTestRecordsReading,
    ::testing::Values(
        BodyCase{"StateOutsideItsTable",
                 R"({"success":true,"tests":[{"test_name":"a","state":"paused"}]})", kUnreadable},
        BodyCase{
            "StateInAnotherLetterCase",
            R"({"success":true,"tests":[{"test_name":"a","state":"Active","selected_bucket":"b"}]})",
            kUnreadable},
        BodyCase{"SuccessMissing", R"({"tests":[]})", kUnreadable},
        BodyCase{"SuccessNull", R"({"success":null,"tests":[]})", kUnreadable},
        BodyCase{"SuccessAsNumber", R"({"success":1,"tests":[]})", kUnreadable},
        BodyCase{"SuccessAsString", R"({"success":"true","tests":[]})", kUnreadable},
        BodyCase{"SuccessAsHugeNumber", R"({"success":1e400,"tests":[]})", kUnreadable},
        BodyCase{"TestsMissing", R"({"success":true})", kUnreadable},
        BodyCase{"TestsNull", R"({"success":true,"tests":null})", kUnreadable},
        BodyCase{"TestsAsObject", R"({"success":true,"tests":{}})", kUnreadable},
        BodyCase{"EntryAsNumber", R"({"success":true,"tests":[1]})", kUnreadable},
        BodyCase{"EntryAsArray", R"({"success":true,"tests":[[]]})", kUnreadable},
        BodyCase{
            "OneEntryWithoutTestName",
            R"({"success":true,"tests":[{"test_name":"a","state":"inactive"},{"state":"inactive"},{"test_name":"c","state":"inactive"}]})",
            kUnreadable},
        BodyCase{"TestNameNull",
                 R"({"success":true,"tests":[{"test_name":null,"state":"active"}]})", kUnreadable},
        BodyCase{"TestNameAsNumber",
                 R"({"success":true,"tests":[{"test_name":7,"state":"active"}]})", kUnreadable},
        BodyCase{"StateMissing", R"({"success":true,"tests":[{"test_name":"a"}]})", kUnreadable},
        BodyCase{"StateNull", R"({"success":true,"tests":[{"test_name":"a","state":null}]})",
                 kUnreadable},
        BodyCase{
            "BucketAsNumber",
            R"({"success":true,"tests":[{"test_name":"a","state":"active","selected_bucket":1}]})",
            kUnreadable},
        BodyCase{
            "BucketAsBoolean",
            R"({"success":true,"tests":[{"test_name":"a","state":"active","selected_bucket":false}]})",
            kUnreadable},
        BodyCase{
            "BucketAsObject",
            R"({"success":true,"tests":[{"test_name":"a","state":"active","selected_bucket":{}}]})",
            kUnreadable},
        BodyCase{"KeysInAnotherLetterCaseAreOtherKeys", R"({"Success":true,"tests":[]})",
                 kUnreadable},
        BodyCase{"DuplicatedSuccess", R"({"success":true,"tests":[],"success":false})",
                 kUnreadable},
        BodyCase{"DuplicatedTests", R"({"success":true,"tests":[],"tests":[]})", kUnreadable},
        BodyCase{
            "DuplicatedTestName",
            R"({"success":true,"tests":[{"test_name":"a","state":"inactive","test_name":"b"}]})",
            kUnreadable},
        BodyCase{
            "DuplicatedBucketEvenNullFirst",
            R"({"success":true,"tests":[{"test_name":"a","state":"active","selected_bucket":null,"selected_bucket":"b"}]})",
            kUnreadable},
        BodyCase{"TopLevelArray", R"([{"success":true,"tests":[]}])", kUnreadable},
        BodyCase{"TopLevelString", R"("success")", kUnreadable},
        BodyCase{"TopLevelNull", "null", kUnreadable}, BodyCase{"EmptyBody", "", kUnreadable},
        BodyCase{"OnlyWhitespace", " \n", kUnreadable},
        BodyCase{"Truncated", R"({"success":true,"tests":[)", kUnreadable},
        BodyCase{"TrailingComma", R"({"success":true,"tests":[],})", kUnreadable},
        BodyCase{"Comment", R"({"success":true,/*c*/"tests":[]})", kUnreadable},
        BodyCase{"TwoDocuments", R"({"success":true,"tests":[]}{})", kUnreadable},
        BodyCase{"InvalidUTF8InAValue",
                 "{\"success\":true,\"tests\":[{\"test_name\":\"\xff\",\"state\":\"inactive\"}]}",
                 kUnreadable},
        BodyCase{"InvalidUTF8UnderAnUnknownKey", "{\"success\":true,\"tests\":[],\"\xc0\xaf\":1}",
                 kUnreadable},
        BodyCase{"LoneSurrogateEscape",
                 R"({"success":true,"tests":[{"test_name":"\ud800","state":"inactive"}]})",
                 kUnreadable},
        BodyCase{"NestingBeyondTheLimit",
                 R"({"success":true,"tests":[],"deep":)" + nested(40) + "}", kUnreadable},
        BodyCase{"VeryDeepNesting", nested(100000), kUnreadable}),
    [](const auto& row) { return row.param.name; });

TEST(RemoteABTestRecords, ReadingAnIncompleteBodyStopsWithoutReadingBeyondIt) {
  // The body is a view of a larger buffer: bytes after its end must not be taken for it.
  const std::string buffer = R"({"success":true,"tests":[]}garbage)";
  EXPECT_EQ(decodeConfigResponse(std::string_view(buffer).substr(0, 27)),
            (RemoteABTestConfigResponse{true, {}}));
  EXPECT_EQ(decodeConfigResponse(std::string_view(buffer).substr(0, 26)), std::nullopt);
}

TEST(RemoteABTestRecords, LongStringsAndKeysArriveWhole) {
  // Long escaped strings reach the reader in pieces; they must come out whole.
  std::string name(5000, 'n');
  std::string escapedName;
  for (std::size_t i = 0; i < 5000; ++i) escapedName += i % 2 ? "\\u006e" : "n";
  const std::string unknownKey(6000, 'k');
  const auto decoded =
      decodeConfigResponse(R"({"success":true,")" + unknownKey + R"(":1,"tests":[{"test_name":")" +
                           escapedName + R"(","state":"inactive"}]})");
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->tests.size(), 1u);
  EXPECT_EQ(decoded->tests[0].test_name, name);
}

struct RequestCase {
  std::string name;
  std::string guid;
  RemoteABTestRequestType type;
  std::vector<ABTest> tests;
  std::optional<std::string> expected;  // nothing: refused
};

TEST(RemoteABTestRecords, WritesRequestsCompactlyAndRefusesTextThatIsNotUTF8) {
  const auto fetch = RemoteABTestRequestType::tamsenorTest;
  const auto expose = RemoteABTestRequestType::exposeTamsenorTest;
  const RequestCase cases[] = {
      {"Exposure",
       "device-1",
       expose,
       {{"onboarding", {"a"}, "a"}},
       R"({"mobile_guid":"device-1","tests":[{"type":"expose_tamsenor_test","test_name":"onboarding"}]})"},
      {"EveryEntryInOrderEvenEmptyOnes",
       "",
       fetch,
       {{"b", {}, ""}, {"a", {}, ""}, {"", {}, ""}},
       R"({"mobile_guid":"","tests":[{"type":"tamsenor_test","test_name":"b"},)"
       R"({"type":"tamsenor_test","test_name":"a"},{"type":"tamsenor_test","test_name":""}]})"},
      {"NoTests", "g", fetch, {}, R"({"mobile_guid":"g","tests":[]})"},
      {"EscapesWhatJSONRequiresAndKeepsUnicode",
       "\b\f\r",
       fetch,
       {{"q\"b\\s/\n\t\x01\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", {}, ""}},
       "{\"mobile_guid\":\"\\b\\f\\r\",\"tests\":[{\"type\":\"tamsenor_test\",\"test_name\":"
       "\"q\\\"b\\\\s/\\n\\t\\u0001\\u001f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}]}"},
      {"NameNotUTF8", "g", fetch, {{"ok", {}, ""}, {"\xc3", {}, ""}}, std::nullopt},
      {"GuidNotUTF8", "\xff", fetch, {}, std::nullopt},
  };
  for (const auto& row : cases) {
    const auto body = encodeConfigRequest(row.guid, row.type, row.tests);
    EXPECT_EQ(body ? std::optional<std::string>(asText(*body)) : std::nullopt, row.expected)
        << row.name;
  }
}

TEST(RemoteABTestRecords, AnIndependentReaderGetsTheVeryStringsBack) {
  const std::string name = "q\"b\\s/\n\t\x01\x1f\x7f \xc3\xa9";
  const std::vector<ABTest> tests{{name, {}, ""}};
  const auto body = encodeConfigRequest("\b\f\r", RemoteABTestRequestType::tamsenorTest, tests);
  ASSERT_TRUE(body.has_value());
  boost::json::error_code ec;
  const auto value = boost::json::parse(asText(*body), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(value.at("mobile_guid").as_string(), "\b\f\r");
  EXPECT_EQ(value.at("tests").at(0).at("test_name").as_string(), name);
}

TEST(RemoteABTestRecords, EnumerationStringsMatchWholeAndCaseSensitively) {
  EXPECT_EQ(to_string(RemoteABTestRequestType::tamsenorTest), "tamsenor_test");
  EXPECT_EQ(to_string(RemoteABTestRequestType::exposeTamsenorTest), "expose_tamsenor_test");
  EXPECT_EQ(to_string(State::active), "active");
  EXPECT_EQ(to_string(State::finished), "finished");
  EXPECT_EQ(to_string(State::inactive), "inactive");
  EXPECT_EQ(stateFromString("finished"), State::finished);
  EXPECT_EQ(stateFromString("inactive"), State::inactive);
  EXPECT_EQ(stateFromString("Inactive"), std::nullopt);
  EXPECT_EQ(stateFromString("active "), std::nullopt);
  EXPECT_EQ(stateFromString(""), std::nullopt);
}

}  // namespace
}  // namespace tamsenor::detail
