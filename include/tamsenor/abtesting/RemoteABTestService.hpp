#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tamsenor/Export.hpp"
#include "tamsenor/abtesting/framework/ABTestService.hpp"
#include "tamsenor/abtesting/framework/Logger.hpp"
#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor {

namespace detail {
struct RemoteABTestResponse;
}

// Why a call of RemoteABTestService failed. Spelled RemoteABTestService::Error; it is declared
// out here only because the service's base class names it before the service is complete.
enum class RemoteABTestServiceError { emptyRequest, encodingError, networkError, invalidResponse };
// Applications may keep the raw values: new cases go at the end.
static_assert(static_cast<int>(RemoteABTestServiceError::emptyRequest) == 0 &&
              static_cast<int>(RemoteABTestServiceError::encodingError) == 1 &&
              static_cast<int>(RemoteABTestServiceError::networkError) == 2 &&
              static_cast<int>(RemoteABTestServiceError::invalidResponse) == 3);

// "emptyRequest", "encodingError", "networkError", "invalidResponse".
[[nodiscard]] TAMSENOR_EXPORT std::string_view to_string(RemoteABTestServiceError error) noexcept;
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, RemoteABTestServiceError error);

// A/B test buckets from the server, checked against the tests' own definitions; every anomaly
// goes to the logger before the completion runs. Completions run at once for an empty list or
// bucket or a body that cannot be written, otherwise on the thread that delivers the client's
// answer, and never once the service has been released. Owns its client and logger.
//   auto service = RemoteABTestService::create(client, deviceID, logger);
//   service->fetchBucketsForTests(tests, [](auto result) { ... });
class TAMSENOR_EXPORT RemoteABTestService final
    : public ABTestService<RemoteABTestServiceError>,
      public std::enable_shared_from_this<RemoteABTestService> {
 public:
  using Error = RemoteABTestServiceError;

  // `client` and `logger` must not be null. Nothing is checked or sent here.
  [[nodiscard]] static std::shared_ptr<RemoteABTestService> create(
      std::shared_ptr<HTTPClient> client, std::string guid, std::shared_ptr<Logger> logger);

  void fetchBucketsForTests(std::vector<ABTest> tests, FetchCompletion completion) override;
  void exposeBucket(std::string bucket, ABTest test, ExposeCompletion completion) override;

 private:
  RemoteABTestService(std::shared_ptr<HTTPClient> client, std::string guid,
                      std::shared_ptr<Logger> logger);

  void receiveBuckets(HTTPClientResult result, const std::vector<ABTest>& tests,
                      const FetchCompletion& completion) const;
  void receiveExposure(HTTPClientResult result, const std::string& bucket, const ABTest& test,
                       const ExposeCompletion& completion) const;
  [[nodiscard]] std::optional<ABTestResponse> mapRemoteResponse(
      const detail::RemoteABTestResponse& answer, const ABTest& test) const;

  // Logs the client's failure; true when there was one.
  bool reportedClientFailure(const HTTPClientResult& result, std::string_view function) const;
  // `line` is the calling statement's __LINE__.
  void logError(std::string_view message, std::string_view function, unsigned line) const;
  void logWarning(std::string_view message, std::string_view function, unsigned line) const;

  std::shared_ptr<HTTPClient> client_;
  std::string guid_;
  std::shared_ptr<Logger> logger_;
};

}  // namespace tamsenor
