#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace tamsenor::testsupport {

// Collects values handed to completions on any thread, with the thread each arrived on, and lets
// a test wait, bounded in time, until a number of them has arrived.
template <class T>
class CompletionRecorder {
 public:
  struct Entry {
    T value;
    std::thread::id thread;
  };

  void record(T value) {
    // Notified under the lock: a waiter that wakes may destroy the recorder at once.
    std::lock_guard lock(mutex_);
    entries_.push_back({std::move(value), std::this_thread::get_id()});
    arrived_.notify_all();
  }

  // True once at least `count` values have arrived; false when `limit` passed first.
  [[nodiscard]] bool waitFor(std::size_t count,
                             std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
  }

  [[nodiscard]] std::size_t count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

  [[nodiscard]] std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Entry> entries_;
};

}  // namespace tamsenor::testsupport
