#pragma once

#include <string>
#include <vector>

namespace tamsenor {

// One A/B test as the application defines it: the buckets the server may select and the bucket
// that applies while the test is inactive. A plain value, copied freely.
struct ABTest {
  std::string name;
  std::vector<std::string> buckets;
  std::string defaultBucket;

  friend bool operator==(const ABTest&, const ABTest&) = default;
};

}  // namespace tamsenor
