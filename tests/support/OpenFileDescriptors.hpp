#pragma once

#include <filesystem>
#include <iterator>

namespace tamsenor::testsupport {

// The process's open file descriptors, counted in /proc/self/fd (the count includes the one the
// listing itself holds, the same every time).
struct OpenFileDescriptors {
  [[nodiscard]] static std::size_t count() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
  }
};

}  // namespace tamsenor::testsupport
