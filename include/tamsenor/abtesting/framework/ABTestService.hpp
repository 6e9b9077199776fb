#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tamsenor/Export.hpp"
#include "tamsenor/Result.hpp"
#include "tamsenor/abtesting/framework/ABTest.hpp"
#include "tamsenor/abtesting/framework/ABTestResponse.hpp"

namespace tamsenor {

// Asks which bucket applies to each test, and reports that a bucket was shown to the user.
// Generic over the implementation's own error enumeration, which its completions carry. Each
// completion is kept beyond the call and called at most once, on whatever thread the
// implementation documents.
template <class Error>
class TAMSENOR_EXPORT ABTestService {
 public:
  using FetchResult = Result<std::vector<ABTestResponse>, Error>;
  using ExposeResult = Result<ABTestResponse, Error>;
  using FetchCompletion = std::function<void(FetchResult)>;
  using ExposeCompletion = std::function<void(ExposeResult)>;

  ABTestService() = default;
  ABTestService(const ABTestService&) = delete;
  ABTestService& operator=(const ABTestService&) = delete;
  virtual ~ABTestService() = default;

  virtual void fetchBucketsForTests(std::vector<ABTest> tests, FetchCompletion completion) = 0;
  virtual void exposeBucket(std::string bucket, ABTest test, ExposeCompletion completion) = 0;
};

}  // namespace tamsenor
