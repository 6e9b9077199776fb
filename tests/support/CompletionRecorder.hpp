#pragma once

// What completions and task handlers get, recorded across threads and told in one line.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

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

// Records `value` into `recorder` once the last copy of the returned token is destroyed: captured
// by a completion, it tells when nothing can call that completion any more.
template <class T>
std::shared_ptr<void> recordWhenGone(std::shared_ptr<CompletionRecorder<T>> recorder, T value) {
  return {nullptr, [recorder = std::move(recorder), value = std::move(value)](void*) {
            recorder->record(value);
          }};
}

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

// The names of URLError's predicates that hold, joined by blanks; "" when none does.
inline std::string predicatesHolding(const URLError& error) {
  const std::string names =
      std::string(error.isInvalidConfiguration() ? " invalidConfiguration" : "") +
      (error.isCancelled() ? " cancelled" : "") + (error.isTimedOut() ? " timedOut" : "") +
      (error.isCannotConnect() ? " cannotConnect" : "") +
      (error.isSecureConnectionFailed() ? " secureConnectionFailed" : "") +
      (error.isConnectionLost() ? " connectionLost" : "") +
      (error.isBadServerResponse() ? " badServerResponse" : "");
  return names.empty() ? names : names.substr(1);
}

// What one URLSession task handler received.
struct TaskOutcome {
  std::optional<Data> body;
  std::shared_ptr<const URLResponse> response;
  std::optional<URLError> error;

  [[nodiscard]] const HTTPURLResponse* http() const {
    return dynamic_cast<const HTTPURLResponse*>(response.get());
  }
};

// "<status>:<body>" for an answer, "<code> <description> [<predicates that hold>]" for a failure.
inline std::string describe(const TaskOutcome& outcome) {
  if (outcome.error) {
    return std::to_string(outcome.error->code()) + " " + outcome.error->description() + " [" +
           predicatesHolding(*outcome.error) + "]";
  }
  if (!outcome.http() || !outcome.body) return "no HTTP answer";
  return std::to_string(outcome.http()->statusCode()) + ":" + std::string(asText(*outcome.body));
}

// A handler that records into `recorder`; it keeps the recorder alive as long as it may run.
inline URLSessionDataTask::Handler recordInto(
    std::shared_ptr<CompletionRecorder<TaskOutcome>> recorder) {
  return [recorder = std::move(recorder)](std::optional<Data> body,
                                          std::shared_ptr<const URLResponse> response,
                                          std::optional<URLError> error) {
    recorder->record({std::move(body), std::move(response), std::move(error)});
  };
}

}  // namespace tamsenor::testsupport
