#pragma once

#include <gtest/gtest.h>

#include <thread>

#include "support/LiveCompletionToken.hpp"
#include "support/OpenFileDescriptors.hpp"

namespace tamsenor::testsupport {

// Checks after each test that live completions and open descriptors are back where they were
// (servers and sessions belong in the test body); late closes are given two seconds.
class ResourceBalanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    completionsBefore_ = LiveCompletionToken::count();
    descriptorsBefore_ = OpenFileDescriptors::count();
  }
  void TearDown() override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((LiveCompletionToken::count() != completionsBefore_ ||
            OpenFileDescriptors::count() != descriptorsBefore_) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(LiveCompletionToken::count(), completionsBefore_) << "completions still alive";
    EXPECT_EQ(OpenFileDescriptors::count(), descriptorsBefore_) << "file descriptors still open";
  }

 private:
  long completionsBefore_ = 0;
  std::size_t descriptorsBefore_ = 0;
};

}  // namespace tamsenor::testsupport
