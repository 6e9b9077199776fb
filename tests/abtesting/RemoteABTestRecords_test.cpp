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

TEST(RemoteABTestRecords, WritesTheExposureRequestCompactly) {
  const RemoteABTestConfigRequest request{
      "device-1", {{RemoteABTestRequestType::exposeTamsenorTest, "onboarding"}}};
  const auto body = encode(request);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(
      asText(*body),
      R"({"mobile_guid":"device-1","tests":[{"type":"expose_tamsenor_test","test_name":"onboarding"}]})");
}

TEST(RemoteABTestRecords, WritesEveryEntryInOrderEvenEmptyOnes) {
  const RemoteABTestConfigRequest request{"",
                                          {{RemoteABTestRequestType::tamsenorTest, "b"},
                                           {RemoteABTestRequestType::tamsenorTest, "a"},
                                           {RemoteABTestRequestType::tamsenorTest, ""}}};
  const auto body = encode(request);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(
      asText(*body),
      R"({"mobile_guid":"","tests":[{"type":"tamsenor_test","test_name":"b"},)"
      R"({"type":"tamsenor_test","test_name":"a"},{"type":"tamsenor_test","test_name":""}]})");
  EXPECT_EQ(asText(*encode(RemoteABTestConfigRequest{"g", {}})),
            R"({"mobile_guid":"g","tests":[]})");
}

TEST(RemoteABTestRecords, EscapesWhatJSONRequiresAndKeepsUnicode) {
  const std::string name = "q\"b\\s/\n\t\x01\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  const auto body =
      encode(RemoteABTestConfigRequest{"\b\f\r", {{RemoteABTestRequestType::tamsenorTest, name}}});
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(asText(*body),
            "{\"mobile_guid\":\"\\b\\f\\r\",\"tests\":[{\"type\":\"tamsenor_test\",\"test_name\":"
            "\"q\\\"b\\\\s/\\n\\t\\u0001\\u001f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}]}");
  // An independent reader gets the very strings back.
  boost::json::error_code ec;
  const auto value = boost::json::parse(asText(*body), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(value.at("mobile_guid").as_string(), "\b\f\r");
  EXPECT_EQ(value.at("tests").at(0).at("test_name").as_string(), name);
}

TEST(RemoteABTestRecords, RefusesToWriteStringsThatAreNotUTF8) {
  for (const std::string bad :
       {"\xff", "a\x80", "\xc0\xaf", "\xc3", "\xe2\x82", "\xed\xa0\x80", "\xe0\x80\x80",
        "\xf0\x80\x80\x80", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "ok\xc3\x28"}) {
    EXPECT_EQ(
        encode(RemoteABTestConfigRequest{"g", {{RemoteABTestRequestType::tamsenorTest, bad}}}),
        std::nullopt)
        << ::testing::PrintToString(bad);
    EXPECT_EQ(encode(RemoteABTestConfigRequest{bad, {}}), std::nullopt);
  }
  // The largest and smallest sequences of each length are fine.
  for (const std::string good : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
                                 "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_NE(encode(RemoteABTestConfigRequest{good, {}}), std::nullopt)
        << ::testing::PrintToString(good);
  }
}

TEST(RemoteABTestRecords, WritingStraightFromTestsGivesTheRecordsBytes) {
  const std::vector<ABTest> tests{{"b", {"x"}, "x"}, {"q\"\n\xc3\xa9", {}, ""}, {"b", {}, ""}};
  const auto direct =
      encodeConfigRequest("device-1", RemoteABTestRequestType::exposeTamsenorTest, tests);
  ASSERT_TRUE(direct.has_value());
  EXPECT_EQ(asText(*direct),
            "{\"mobile_guid\":\"device-1\",\"tests\":["
            "{\"type\":\"expose_tamsenor_test\",\"test_name\":\"b\"},"
            "{\"type\":\"expose_tamsenor_test\",\"test_name\":\"q\\\"\\n\xc3\xa9\"},"
            "{\"type\":\"expose_tamsenor_test\",\"test_name\":\"b\"}]}");
  EXPECT_EQ(encodeConfigRequest("g", RemoteABTestRequestType::tamsenorTest, {}),
            encode(RemoteABTestConfigRequest{"g", {}}));
  const std::vector<ABTest> bad{{"ok", {}, ""}, {"\xc3", {}, ""}};
  EXPECT_EQ(encodeConfigRequest("g", RemoteABTestRequestType::tamsenorTest, bad), std::nullopt);
  EXPECT_EQ(encodeConfigRequest("\xff", RemoteABTestRequestType::tamsenorTest, {}), std::nullopt);
}

TEST(RemoteABTestRecords, WritesAResponseEntryWithoutBucketWithTwoKeysOnly) {
  const RemoteABTestConfigResponse response{
      true, {entry("a", State::active), entry("b", State::finished, "")}};
  const auto body = encode(response);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(asText(*body), R"({"success":true,"tests":[{"test_name":"a","state":"active"},)"
                           R"({"test_name":"b","state":"finished","selected_bucket":""}]})");
  EXPECT_EQ(decodeConfigResponse(asText(*body)), response);
}

TEST(RemoteABTestRecords, ReadsRequestBodiesBackByTheSameRules) {
  const RemoteABTestConfigRequest request{"device-1",
                                          {{RemoteABTestRequestType::tamsenorTest, "a"},
                                           {RemoteABTestRequestType::exposeTamsenorTest, "b"}}};
  EXPECT_EQ(decodeConfigRequest(asText(*encode(request))), request);
  EXPECT_EQ(decodeConfigRequest(
                R"({"mobile_guid":"d","tests":[{"type":"Tamsenor_test","test_name":"a"}]})"),
            std::nullopt);
  EXPECT_EQ(decodeConfigRequest(R"({"mobile_guid":null,"tests":[]})"), std::nullopt);
  EXPECT_EQ(decodeConfigRequest(R"({"mobile_guid":"d","tests":[{"type":"tamsenor_test"}]})"),
            std::nullopt);
}

TEST(RemoteABTestRecords, EnumerationStringsMatchWholeAndCaseSensitively) {
  EXPECT_EQ(to_string(RemoteABTestRequestType::tamsenorTest), "tamsenor_test");
  EXPECT_EQ(to_string(RemoteABTestRequestType::exposeTamsenorTest), "expose_tamsenor_test");
  EXPECT_EQ(requestTypeFromString("expose_tamsenor_test"),
            RemoteABTestRequestType::exposeTamsenorTest);
  EXPECT_EQ(requestTypeFromString("tamsenor_test "), std::nullopt);
  EXPECT_EQ(requestTypeFromString("TAMSENOR_TEST"), std::nullopt);

  EXPECT_EQ(to_string(State::active), "active");
  EXPECT_EQ(to_string(State::finished), "finished");
  EXPECT_EQ(to_string(State::inactive), "inactive");
  EXPECT_EQ(stateFromString("finished"), State::finished);
  EXPECT_EQ(stateFromString("Inactive"), std::nullopt);
  EXPECT_EQ(stateFromString(""), std::nullopt);
}

}  // namespace
}  // namespace tamsenor::detail
