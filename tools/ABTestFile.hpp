#pragma once

#include <string>
#include <vector>

#include "tamsenor/abtesting/framework/ABTest.hpp"

namespace tamsenor::tools {

// The tests in `path`: a JSON array of {"name": ..., "buckets": [...], "defaultBucket": ...}.
// Throws UsageError when the file cannot be read or does not hold such an array.
[[nodiscard]] std::vector<ABTest> readABTestFile(const std::string& path);

}  // namespace tamsenor::tools
