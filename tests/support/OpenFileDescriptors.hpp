#pragma once

#include <filesystem>
#include <iterator>

namespace tamsenor::testsupport {

// The process's open file descriptors, the listing's own included (the same every time).
struct OpenFileDescriptors {
  [[nodiscard]] static std::size_t count() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
  }
};

}  // namespace tamsenor::testsupport
