#include "tools/ABTestFile.hpp"

#include <boost/json.hpp>
#include <fstream>
#include <sstream>

#include "tools/UsageError.hpp"

namespace tamsenor::tools {

namespace json = boost::json;

std::vector<ABTest> readABTestFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw UsageError("cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();

  const auto refuse = [&] {
    return UsageError(path +
                      " is not a JSON array of {\"name\", \"buckets\", \"defaultBucket\"} objects");
  };
  json::error_code error;
  const json::value document = json::parse(text.str(), error);
  if (error || !document.is_array()) throw refuse();
  std::vector<ABTest> tests;
  for (const auto& element : document.get_array()) {
    const auto* object = element.if_object();
    const json::value* name = object ? object->if_contains("name") : nullptr;
    const json::value* buckets = object ? object->if_contains("buckets") : nullptr;
    const json::value* defaultBucket = object ? object->if_contains("defaultBucket") : nullptr;
    if (!name || !name->is_string() || !buckets || !buckets->is_array() || !defaultBucket ||
        !defaultBucket->is_string()) {
      throw refuse();
    }
    ABTest test{std::string(name->get_string()), {}, std::string(defaultBucket->get_string())};
    for (const auto& bucket : buckets->get_array()) {
      if (!bucket.is_string()) throw refuse();
      test.buckets.emplace_back(bucket.get_string());
    }
    tests.push_back(std::move(test));
  }
  return tests;
}

}  // namespace tamsenor::tools
