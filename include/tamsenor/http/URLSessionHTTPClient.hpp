#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tamsenor/Export.hpp"
#include "tamsenor/http/HTTPClient.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {

// The HTTPClient that really sends: each request goes out on `session` with "Accept:
// application/json" and "User-Agent: <userAgent>" replacing whatever the record had. The
// completion runs exactly once, on the session's loop thread; a request in flight holds only the
// completion, not the client. Every status code is a success.
class TAMSENOR_EXPORT URLSessionHTTPClient final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<URLSessionHTTPClient> create(
      std::shared_ptr<URLSession> session, std::string userAgent);

  void perform(URLRequest request, Completion completion) override;

  // Sorts a task's outcome by the first rule that applies: an error is a networkError carrying
  // it; no body, no response, or a response that is not an HTTPURLResponse is
  // unexpectedResponseType; otherwise success with the body and the HTTP response.
  [[nodiscard]] static HTTPClientResult classify(std::optional<Data> body,
                                                 std::shared_ptr<const URLResponse> response,
                                                 std::optional<URLError> error);

 private:
  URLSessionHTTPClient(std::shared_ptr<URLSession> session, std::string userAgent)
      : session_(std::move(session)), userAgent_(std::move(userAgent)) {}

  const std::shared_ptr<URLSession> session_;
  const std::string userAgent_;
};

}  // namespace tamsenor
