#pragma once

#include "support/CompletionRecorder.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor::testsupport {

// What one URLSession task handler received.
struct TaskOutcome {
  std::optional<Data> body;
  std::shared_ptr<const URLResponse> response;
  std::optional<URLError> error;

  [[nodiscard]] const HTTPURLResponse* http() const {
    return dynamic_cast<const HTTPURLResponse*>(response.get());
  }
};

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
