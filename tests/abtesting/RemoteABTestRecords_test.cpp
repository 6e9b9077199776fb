#include "abtesting/RemoteABTestRecords.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace tamsenor::detail {
namespace {

// What the reader makes of `body`, written with ' for " so that the rows stay legible:
// "unreadable", or "<success> [<name> <state> '<bucket>']..." without quotes for no bucket.
std::string read(std::string body) {
  std::replace(body.begin(), body.end(), '\'', '"');
  const auto record = decodeConfigResponse(body);
  if (!record) return "unreadable";
  std::string text = record->success ? "true" : "false";
  for (const auto& entry : record->tests) {
    text += " [" + entry.test_name + ' ' + std::string(to_string(entry.state));
    if (entry.selected_bucket) text += " '" + *entry.selected_bucket + '\'';
    text += ']';
  }
  return text;
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(RemoteABTestRecords, ReadsAnswersStrictly) {
  const std::pair<std::string, std::string> rows[] = {
      {"{'success':true,'tests':[{'test_name':'onboarding','state':'active',"
       "'selected_bucket':'variant_b'}]}",
       "true [onboarding active 'variant_b']"},
      // No bucket, null for none, an empty one; any key order; entries in order, repeats kept.
      {"{'tests':[{'test_name':'a','state':'inactive','selected_bucket':null},{'state':'finished',"
       "'test_name':'b'},{'selected_bucket':'','test_name':'a','state':'finished'}],'success':"
       "true}",
       "true [a inactive] [b finished] [a finished '']"},
      // Unknown keys are skipped whatever they hold, repeated or not.
      {"{'extra':{'tests':5,'success':[null]},'success':false,'more':[1,'x',{'a':[true]}],'x':1,"
       "'tests':[{'why':null,'test_name':'a','state':'active','selected_bucket':'b','n':-1.5e3}],"
       "'big':1e400,'long':123456789012345678901234567890,'x':false}",
       "false [a active 'b']"},
      // Escapes, in keys too, and whitespace are JSON's.
      {" \n{ 'succ\\u0065ss' : true , 'tests' : [ { 'test_name' : 'on\\u0062oarding\\n\\u00e9' ,"
       " 'state' : 'active' , 'selected_bucket' : '\\'q\\'\\\\' } ] } \t",
       "true [onboarding\n\xc3\xa9 active '\"q\"\\']"},
      {"{'success':true,'tests':[],'deep':" + nested(29) + "}", "true"},
  };
  for (const auto& [body, expected] : rows) EXPECT_EQ(read(body), expected) << body;

  std::vector<std::string> unreadable = {
      "{'tests':[]}", "{'success':null,'tests':[]}", "{'success':1,'tests':[]}",
      "{'success':'true','tests':[]}", "{'success':{},'tests':[]}", "{'success':true}",
      "{'success':true,'tests':null}", "{'success':true,'tests':{}}",
      "{'success':true,'tests':'x'}", "{'Success':true,'tests':[]}", "{'success':true,'tests':[1]}",
      "{'success':true,'tests':[[]]}", "{'success':true,'tests':['a']}",
      "{'success':true,'tests':[true]}", "{'success':true,'tests':[null]}",
      "{'success':true,'tests':[],'success':false}", "{'success':true,'tests':[],'tests':[]}",
      // Not one JSON object.
      "[{'success':true,'tests':[]}]", "'success'", "null", "", "{'success':true,'tests':[",

      "{'success':true,'tests':[]}{}", "{'success':true,'tests':[],'\xc0\xaf':1}",
      "{'success':true,'tests':[],'deep':" + nested(40) + "}"};
  // Entries of {'success':true,'tests':[...]}.
  for (const std::string entries :
       {"{'test_name':'a','state':'inactive'},{'state':'inactive'}",
        "{'test_name':null,'state':'active'}", "{'test_name':7,'state':'active'}",
        "{'test_name':'\xff','state':'inactive'}", "{'test_name':'\\ud800','state':'inactive'}",
        "{'test_name':'a'}", "{'test_name':'a','state':null}", "{'test_name':'a','state':'paused'}",
        "{'test_name':'a','state':'Inactive'}", "{'test_name':'a','state':'active '}",
        "{'test_name':'a','state':'active','selected_bucket':1}",
        "{'test_name':'a','state':'active','selected_bucket':false}",
        "{'test_name':'a','state':'active','selected_bucket':{}}",
        // A key the record reads may come once only.
        "{'test_name':'a','state':'inactive','test_name':'b'}",
        "{'test_name':'a','state':'active','selected_bucket':null,'selected_bucket':'b'}"}) {
    unreadable.push_back("{'success':true,'tests':[" + entries + "]}");
  }
  for (const auto& body : unreadable) EXPECT_EQ(read(body), "unreadable") << body;
}

// Plain bodies and refusals are the fuzz target's (fuzz/ab_request_body.cpp, replayed as a test):
// here the exact spelling of escapes, which it reads back only through a JSON parser.
TEST(RemoteABTestRecords, EscapesOnlyWhatJSONRequires) {
  const std::vector<ABTest> tests{
      {"q\"b\\s/\n\t\x01\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", {}, ""}};
  const auto body = encodeConfigRequest("\b\f\r", RemoteABTestRequestType::tamsenorTest, tests);
  ASSERT_TRUE(body);
  EXPECT_EQ(asText(*body),
            "{\"mobile_guid\":\"\\b\\f\\r\",\"tests\":[{\"type\":\"tamsenor_test\",\"test_name\":"
            "\"q\\\"b\\\\s/\\n\\t\\u0001\\u001f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}]}");
}

}  // namespace
}  // namespace tamsenor::detail
