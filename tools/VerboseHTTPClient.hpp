#pragma once

#include <memory>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::tools {

// Passes each request to `next` unchanged, writing "> <method> <url>" before it and "< HTTP
// <status>" or "< error <HTTPClientError>" after it to standard error, one write per line.
class VerboseHTTPClient final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<VerboseHTTPClient> create(std::shared_ptr<HTTPClient> next);

  void perform(URLRequest request, Completion completion) override;

 private:
  explicit VerboseHTTPClient(std::shared_ptr<HTTPClient> next) : next_(std::move(next)) {}

  const std::shared_ptr<HTTPClient> next_;
};

}  // namespace tamsenor::tools
