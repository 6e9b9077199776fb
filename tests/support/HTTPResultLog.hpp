#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::testsupport {

// Records every result handed to its completions, from any thread, as one short line each:
// "<status>:<body>" for an answer, the error's text for a failure. Completions stay safe to call
// after the log is gone.
class HTTPResultLog {
 public:
  HTTPClient::Completion completion(std::string tag = {}) const {
    return [entries = entries_, tag = std::move(tag)](HTTPClientResult result) {
      std::string line = tag.empty() ? std::string() : tag + "=";
      if (!result) {
        line += to_string(result.error());
      } else {
        line += std::to_string(result.value().response().statusCode()) + ":" +
                std::string(asText(result.value().body()));
      }
      std::lock_guard lock(entries->mutex);
      entries->lines.push_back(std::move(line));
      entries->added.notify_all();
    };
  }

  [[nodiscard]] std::vector<std::string> lines() const {
    std::lock_guard lock(entries_->mutex);
    return entries_->lines;
  }
  // True once `count` lines are in; false after ten seconds.
  [[nodiscard]] bool waitFor(std::size_t count) const {
    std::unique_lock lock(entries_->mutex);
    return entries_->added.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return entries_->lines.size() >= count; });
  }
  [[nodiscard]] std::size_t count() const {
    std::lock_guard lock(entries_->mutex);
    return entries_->lines.size();
  }

 private:
  struct Entries {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<std::string> lines;
  };
  std::shared_ptr<Entries> entries_ = std::make_shared<Entries>();
};

}  // namespace tamsenor::testsupport
