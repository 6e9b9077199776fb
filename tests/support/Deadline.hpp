#pragma once

#include <chrono>

namespace tamsenor::testsupport {

// Milliseconds until `deadline`, for poll(); 0 once it has passed.
inline int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace tamsenor::testsupport
