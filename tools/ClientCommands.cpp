#include <boost/json.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tamsenor/abtesting/ABTestServiceAsync.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/http/Async.hpp"
#include "tamsenor/signin/MagicLinkSignInServiceAsync.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/ABTestFile.hpp"
#include "tools/Commands.hpp"
#include "tools/Connection.hpp"
#include "tools/StderrLogger.hpp"
#include "tools/UsageError.hpp"

namespace tamsenor::tools {

namespace json = boost::json;

namespace {

void printJSON(const json::value& document) { std::cout << json::serialize(document) << '\n'; }

json::object describe(const ABTestResponse& response) {
  json::object entry{{"name", response.name}, {"state", to_string(response.state.kind())}};
  if (const auto bucket = response.state.bucket()) entry["bucket"] = *bucket;
  return entry;
}

std::shared_ptr<RemoteABTestService> abTestService(const Connection& connection,
                                                   const std::string& guid) {
  return RemoteABTestService::create(connection.client(), guid, std::make_shared<StderrLogger>());
}

int send(const ClientOptions& options, URLRequest request) {
  const Connection connection(options);
  const auto result = tamsenor::perform(*connection.client(), std::move(request), useFuture).get();
  if (!result) {
    std::cerr << "error " + to_string(result.error()) + "\n";
    return 1;
  }
  // The status goes first, so that on a terminal it does not trail a body without a line end.
  std::cerr << "HTTP " + std::to_string(result.value().response().statusCode()) + "\n"
            << std::flush;
  const auto& body = result.value().body();
  std::cout.write(reinterpret_cast<const char*>(body.data()),
                  static_cast<std::streamsize>(body.size()));
  std::cout.flush();
  return 0;
}

}  // namespace

int signIn(const ClientOptions& options, const std::string& email) {
  const Connection connection(options);
  const auto service = RemoteMagicLinkSignInService::create(
      connection.client(), [](const std::string& line) { std::cerr << "log " + line + "\n"; });
  const auto error = tamsenor::sendEmail(*service, email, useFuture).get();
  if (error) {
    printJSON(json::object{{"error", to_string(*error)}});
    return 1;
  }
  printJSON(json::object{{"sent", true}});
  return 0;
}

int fetchBuckets(const ClientOptions& options, const std::string& guid,
                 const std::string& testsFile) {
  auto tests = readABTestFile(testsFile);
  const Connection connection(options);
  const auto service = abTestService(connection, guid);
  const auto result = tamsenor::fetchBucketsForTests(*service, std::move(tests), useFuture).get();
  if (!result) {
    printJSON(json::object{{"error", to_string(result.error())}});
    return 1;
  }
  json::array results;
  for (const auto& response : result.value()) results.push_back(describe(response));
  printJSON(json::object{{"results", std::move(results)}});
  return 0;
}

int exposeBucket(const ClientOptions& options, const std::string& guid,
                 const std::string& testsFile, const std::string& testName,
                 const std::string& bucket) {
  const auto tests = readABTestFile(testsFile);
  const auto test = std::find_if(tests.begin(), tests.end(), [&](const ABTest& candidate) {
    return candidate.name == testName;
  });
  if (test == tests.end()) throw UsageError("no test named " + testName + " in " + testsFile);
  const Connection connection(options);
  const auto service = abTestService(connection, guid);
  const auto result = tamsenor::exposeBucket(*service, bucket, *test, useFuture).get();
  if (!result) {
    printJSON(json::object{{"error", to_string(result.error())}});
    return 1;
  }
  printJSON(json::object{{"result", describe(result.value())}});
  return 0;
}

int getEndpoint(const ClientOptions& options, const std::string& caseName,
                const EndpointArguments& arguments) {
  return send(options, arguments.get(caseName).request());
}

int postEndpoint(const ClientOptions& options, const std::string& caseName,
                 const EndpointArguments& arguments, const std::string& data) {
  std::string payload = data;
  if (data.starts_with('@')) {
    std::ifstream file(data.substr(1), std::ios::binary);
    if (!file) throw UsageError("cannot read " + data.substr(1));
    std::ostringstream bytes;
    bytes << file.rdbuf();
    payload = bytes.str();
  }
  return send(options,
              arguments.post(caseName, toData(payload), String::applicationJSON()).request());
}

}  // namespace tamsenor::tools
