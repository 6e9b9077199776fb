#pragma once

#include <atomic>
#include <functional>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::testsupport {

// Sets "X-Attempt: <n>" (1-based) on every request, lets `adjust` change it further, and shares
// the count through `attempts`, so it stays readable after the client is gone.
class AttemptCountingHTTPClient final : public HTTPClient {
 public:
  using Adjust = std::function<void(std::size_t attempt, URLRequest& request)>;

  AttemptCountingHTTPClient(std::shared_ptr<HTTPClient> inner,
                            std::shared_ptr<std::atomic<std::size_t>> attempts, Adjust adjust)
      : inner_(std::move(inner)), attempts_(std::move(attempts)), adjust_(std::move(adjust)) {}
  [[nodiscard]] static std::shared_ptr<AttemptCountingHTTPClient> create(
      std::shared_ptr<HTTPClient> inner, std::shared_ptr<std::atomic<std::size_t>> attempts,
      Adjust adjust = {}) {
    return std::make_shared<AttemptCountingHTTPClient>(std::move(inner), std::move(attempts),
                                                       std::move(adjust));
  }

  void perform(URLRequest request, Completion completion) override {
    const std::size_t attempt = ++*attempts_;
    request.setValue(std::to_string(attempt), "X-Attempt");
    if (adjust_) adjust_(attempt, request);
    inner_->perform(std::move(request), std::move(completion));
  }

 private:
  const std::shared_ptr<HTTPClient> inner_;
  const std::shared_ptr<std::atomic<std::size_t>> attempts_;
  const Adjust adjust_;
};

}  // namespace tamsenor::testsupport
