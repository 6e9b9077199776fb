#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::testsupport {

// Collects values from completions on any thread, with that thread, and waits for a count.
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
  [[nodiscard]] std::vector<T> values() const {
    std::vector<T> values;
    for (auto& entry : entries()) values.push_back(std::move(entry.value));
    return values;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Entry> entries_;
};

// One short line per result: "<status>:<body>" for an answer, the error's text for a failure.
inline std::string describe(const HTTPClientResult& result) {
  if (!result) return to_string(result.error());
  return std::to_string(result.value().response().statusCode()) + ":" +
         std::string(asText(result.value().body()));
}

// A completion that records "<tag>=" (when tagged) and describe(result).
inline HTTPClient::Completion recordLines(std::shared_ptr<CompletionRecorder<std::string>> lines,
                                          std::string tag = {}) {
  return [lines = std::move(lines), tag = std::move(tag)](HTTPClientResult result) {
    lines->record((tag.empty() ? std::string() : tag + "=") + describe(result));
  };
}

}  // namespace tamsenor::testsupport
