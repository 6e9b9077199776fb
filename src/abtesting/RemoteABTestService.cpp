#include "tamsenor/abtesting/RemoteABTestService.hpp"

#include <algorithm>
#include <cassert>
#include <span>
#include <string_view>
#include <vector>

#include "abtesting/RemoteABTestRecords.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor {

namespace {

constexpr std::string_view kFetchFunction = "fetchBucketsForTests(_:completion:)";
constexpr std::string_view kExposeFunction = "exposeBucket(_:forTest:completion:)";
constexpr std::string_view kMapFunction = "mapRemoteResponse(_:forTest:)";

// Records name this file without the build machine's directories.
constexpr std::string_view fileName(std::string_view path) noexcept {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
constexpr std::string_view kFile = fileName(__FILE__);

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (auto piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (auto piece : pieces) text += piece;
  return text;
}

// Whole, case-sensitive equality. Test and bucket names tend to share a prefix rather than an
// ending, so the last character settles most mismatches before memcmp is called.
bool sameName(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.empty() || (a.back() == b.back() && a == b));
}

// The first entry of the answer for `name`: later entries of the same name are never used.
const detail::RemoteABTestResponse* firstEntryNamed(
    const std::vector<detail::RemoteABTestResponse>& entries, std::string_view name) {
  const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
    return sameName(entry.test_name, name);
  });
  return found == entries.end() ? nullptr : &*found;
}

// The answer's entries ordered by name, entries of one name in answer order: a flat map from name
// to first entry, built once, so matching n tests costs n binary searches rather than n scans of
// the answer (quadratic, on the loop thread). Sorting pointers costs one allocation; a hash map
// cost a node per entry, a fifth more per round trip of ten tests.
class EntriesByName {
 public:
  explicit EntriesByName(const std::vector<detail::RemoteABTestResponse>& entries) {
    sorted_.reserve(entries.size());
    for (const auto& entry : entries) sorted_.push_back(&entry);
    std::sort(sorted_.begin(), sorted_.end(), [](const auto* a, const auto* b) {
      const int order = a->test_name.compare(b->test_name);
      return order < 0 || (order == 0 && a < b);  // the entries lie in one vector, in answer order
    });
  }

  // The first entry of the answer named `name`: later entries of the same name are never used.
  [[nodiscard]] const detail::RemoteABTestResponse* first(std::string_view name) const {
    const auto found = std::lower_bound(
        sorted_.begin(), sorted_.end(), name,
        [](const auto* entry, std::string_view wanted) { return entry->test_name < wanted; });
    return found != sorted_.end() && sameName((*found)->test_name, name) ? *found : nullptr;
  }

 private:
  std::vector<const detail::RemoteABTestResponse*> sorted_;
};

URLRequest abTestRequest(Data payload) {
  return V0Endpoint::POST(
             V0Endpoint::POST::mobile_app_ab_test{std::move(payload), String::applicationJSON()})
      .request();
}

}  // namespace

std::string_view to_string(RemoteABTestServiceError error) noexcept {
  switch (error) {
    case RemoteABTestServiceError::emptyRequest:
      return "emptyRequest";
    case RemoteABTestServiceError::encodingError:
      return "encodingError";
    case RemoteABTestServiceError::networkError:
      return "networkError";
    case RemoteABTestServiceError::invalidResponse:
      return "invalidResponse";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, RemoteABTestServiceError error) {
  return out << to_string(error);
}

std::shared_ptr<RemoteABTestService> RemoteABTestService::create(std::shared_ptr<HTTPClient> client,
                                                                 std::string guid,
                                                                 std::shared_ptr<Logger> logger) {
  assert(client && logger);
  return std::shared_ptr<RemoteABTestService>(
      new RemoteABTestService(std::move(client), std::move(guid), std::move(logger)));
}

RemoteABTestService::RemoteABTestService(std::shared_ptr<HTTPClient> client, std::string guid,
                                         std::shared_ptr<Logger> logger)
    : client_(std::move(client)), guid_(std::move(guid)), logger_(std::move(logger)) {}

void RemoteABTestService::fetchBucketsForTests(std::vector<ABTest> tests,
                                               FetchCompletion completion) {
  if (tests.empty()) return completion(FetchResult::failure(Error::emptyRequest));

  auto payload =
      detail::encodeConfigRequest(guid_, detail::RemoteABTestRequestType::tamsenorTest, tests);
  if (!payload) return completion(FetchResult::failure(Error::encodingError));

  // The answer may outlive the application's interest in the service: hold it weakly, and let a
  // late answer fall on the floor rather than keep the service alive for it.
  client_->perform(abTestRequest(std::move(*payload)),
                   [weakSelf = weak_from_this(), tests = std::move(tests),
                    completion = std::move(completion)](HTTPClientResult result) {
                     if (const auto self = weakSelf.lock()) {
                       self->receiveBuckets(std::move(result), tests, completion);
                     }
                   });
}

void RemoteABTestService::exposeBucket(std::string bucket, ABTest test,
                                       ExposeCompletion completion) {
  // The bucket is not sent; it only needs to name something to compare the answer with.
  if (bucket.empty()) return completion(ExposeResult::failure(Error::emptyRequest));

  auto payload = detail::encodeConfigRequest(
      guid_, detail::RemoteABTestRequestType::exposeTamsenorTest, std::span(&test, 1));
  if (!payload) return completion(ExposeResult::failure(Error::encodingError));

  client_->perform(abTestRequest(std::move(*payload)),
                   [weakSelf = weak_from_this(), bucket = std::move(bucket), test = std::move(test),
                    completion = std::move(completion)](HTTPClientResult result) {
                     if (const auto self = weakSelf.lock()) {
                       self->receiveExposure(std::move(result), bucket, test, completion);
                     }
                   });
}

void RemoteABTestService::receiveBuckets(HTTPClientResult result, const std::vector<ABTest>& tests,
                                         const FetchCompletion& completion) const {
  if (reportedClientFailure(result, kFetchFunction)) {
    return completion(FetchResult::failure(Error::networkError));
  }
  const auto& answer = result.value();
  if (const auto status = answer.response().statusCode(); status != 200) {
    logError(
        concat({"Network Error: Server responded with bad status code:", std::to_string(status)}),
        kFetchFunction, __LINE__);
    return completion(FetchResult::failure(Error::networkError));
  }
  const auto response = detail::decodeConfigResponse(asText(answer.body()));
  if (!response || !response->success) {
    logError("Failed to decode data into successful RemoteABTestConfigResponse", kFetchFunction,
             __LINE__);
    return completion(FetchResult::failure(Error::invalidResponse));
  }

  // One lookup per test serves both passes; the missing ones are all logged before any mapping
  // record, so a reader sees what the server left out first.
  const EntriesByName entries(response->tests);
  std::vector<const detail::RemoteABTestResponse*> matches;
  matches.reserve(tests.size());
  for (const auto& test : tests) {
    matches.push_back(entries.first(test.name));
    if (!matches.back()) {
      logError(concat({"Unknown ABTest: ", test.name, " not included in response"}), kFetchFunction,
               __LINE__);
    }
  }
  std::vector<ABTestResponse> results;
  results.reserve(tests.size());
  for (std::size_t i = 0; i < tests.size(); ++i) {
    if (!matches[i]) continue;
    if (auto mapped = mapRemoteResponse(*matches[i], tests[i])) {
      results.push_back(std::move(*mapped));
    }
  }
  if (results.empty()) return completion(FetchResult::failure(Error::invalidResponse));
  completion(FetchResult::success(std::move(results)));
}

void RemoteABTestService::receiveExposure(HTTPClientResult result, const std::string& bucket,
                                          const ABTest& test,
                                          const ExposeCompletion& completion) const {
  if (reportedClientFailure(result, kExposeFunction)) {
    return completion(ExposeResult::failure(Error::networkError));
  }
  const auto& answer = result.value();
  if (answer.response().statusCode() != 200) {
    return completion(ExposeResult::failure(Error::networkError));
  }
  const auto response = detail::decodeConfigResponse(asText(answer.body()));
  if (!response || !response->success || response->tests.empty()) {
    logError("Failed to decode data into successful RemoteABTestConfigResponse", kExposeFunction,
             __LINE__);
    return completion(ExposeResult::failure(Error::invalidResponse));
  }
  const auto* entry = firstEntryNamed(response->tests, test.name);
  if (!entry) {
    logError(
        concat({"Invalid Response from server: ", test.name, " returned no matching response."}),
        kExposeFunction, __LINE__);
    return completion(ExposeResult::failure(Error::invalidResponse));
  }
  auto mapped = mapRemoteResponse(*entry, test);
  if (!mapped) return completion(ExposeResult::failure(Error::invalidResponse));

  // A disagreement is the server's word against ours; the caller still gets the server's.
  if (mapped->state.kind() == ABTestState::Case::active && *mapped->state.bucket() != bucket) {
    logError(concat({"Exposed incorrect ABTest variant: ", test.name, " server exposed: ",
                     *mapped->state.bucket(), ", client expected: ", bucket, "."}),
             kExposeFunction, __LINE__);
  }
  completion(ExposeResult::success(std::move(*mapped)));
}

std::optional<ABTestResponse> RemoteABTestService::mapRemoteResponse(
    const detail::RemoteABTestResponse& answer, const ABTest& test) const {
  const auto& bucket = answer.selected_bucket;
  switch (answer.state) {
    case detail::RemoteABTestState::inactive:
      if (!bucket) {
        logError(concat({"Unknown ABTest: ", answer.test_name, " is not present on the server"}),
                 kMapFunction, __LINE__);
        return std::nullopt;
      }
      // A differing default is worth knowing about but changes nothing: inactive carries none.
      if (*bucket != test.defaultBucket) {
        logError(concat({"Mismatched ABTest default: ", test.name,
                         " local default: ", test.defaultBucket, " server default: ", *bucket}),
                 kMapFunction, __LINE__);
      }
      return ABTestResponse{answer.test_name, ABTestState::inactive()};
    case detail::RemoteABTestState::active:
    case detail::RemoteABTestState::finished: {
      const bool active = answer.state == detail::RemoteABTestState::active;
      if (!bucket) {
        logError(
            concat({"Invalid Response from server: ", answer.test_name, " was marked as ",
                    active ? "active" : "finished", " but did not specify a selected bucket."}),
            kMapFunction, __LINE__);
        return std::nullopt;
      }
      if (std::none_of(test.buckets.begin(), test.buckets.end(),
                       [&](const std::string& known) { return sameName(known, *bucket); })) {
        logError(concat({"Invalid ABTest variant: ", *bucket, " ", test.name}), kMapFunction,
                 __LINE__);
        return std::nullopt;
      }
      return ABTestResponse{answer.test_name,
                            active ? ABTestState::active(*bucket) : ABTestState::finished(*bucket)};
    }
  }
  return std::nullopt;
}

bool RemoteABTestService::reportedClientFailure(const HTTPClientResult& result,
                                                std::string_view function) const {
  if (result) return false;
  const auto& error = result.error();
  if (const auto& underlying = error.underlyingError()) {
    logWarning(concat({"HTTPClient returned networkError: ", underlying->description(), "."}),
               function, __LINE__);
  } else {
    logError(concat({"HTTPClient returned error: ", to_string(error.kind()), "."}), function,
             __LINE__);
  }
  return true;
}

void RemoteABTestService::logError(std::string_view message, std::string_view function,
                                   unsigned line) const {
  logger_->error(message, kFile, function, line);
}

void RemoteABTestService::logWarning(std::string_view message, std::string_view function,
                                     unsigned line) const {
  logger_->warning(message, kFile, function, line);
}

}  // namespace tamsenor
