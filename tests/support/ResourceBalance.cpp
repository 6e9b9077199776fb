// Linked into a test program, checks after each of its tests that live completions and open
// descriptors are back where they were before it (servers and sessions belong in the test or its
// fixture); late closes are given two seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/LiveCompletionToken.hpp"

namespace tamsenor::testsupport {
namespace {

// The listing's own descriptor included, the same every time.
std::size_t openDescriptors() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class ResourceBalance final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    completionsBefore_ = LiveCompletionToken::count();
    descriptorsBefore_ = openDescriptors();
  }
  // End events reach listeners in reverse order, so this runs before the result is printed.
  void OnTestEnd(const ::testing::TestInfo&) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((LiveCompletionToken::count() != completionsBefore_ ||
            openDescriptors() != descriptorsBefore_) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(LiveCompletionToken::count(), completionsBefore_) << "completions still alive";
    EXPECT_EQ(openDescriptors(), descriptorsBefore_) << "file descriptors still open";
  }

 private:
  long completionsBefore_ = 0;
  std::size_t descriptorsBefore_ = 0;
};

// Before main(): GoogleTest's listeners exist as soon as its unit test does, and own what is added.
[[maybe_unused]] const bool kRegistered =
    (::testing::UnitTest::GetInstance()->listeners().Append(new ResourceBalance), true);

}  // namespace
}  // namespace tamsenor::testsupport
