#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

namespace tamsenor::testsupport {

// The process's open file descriptors, counted in /proc/self/fd (the count includes the one the
// listing itself holds, the same every time).
struct OpenFileDescriptors {
  [[nodiscard]] static std::size_t count() {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
      ++count;
    }
    return count;
  }
};

}  // namespace tamsenor::testsupport
