#pragma once

#include <functional>
#include <memory>

#include "tamsenor/Result.hpp"
#include "tamsenor/http/Data.hpp"
#include "tamsenor/http/HTTPClientError.hpp"
#include "tamsenor/http/URLRequest.hpp"
#include "tamsenor/http/URLResponse.hpp"

namespace tamsenor {

// An HTTP answer of any status code: the body (possibly empty) and the response.
struct HTTPClientSuccess {
  Data body;
  std::shared_ptr<const HTTPURLResponse> response;
};

using HTTPClientResult = Result<HTTPClientSuccess, HTTPClientError>;

// Sends a request and reports its outcome. A client is owned through std::shared_ptr.
//
// perform() may be called from any thread, any number of times at once. Its completion runs at
// most once: possibly before perform() returns, on the caller's thread, or later on the thread
// that delivers the answer. Every status code is a success at this level.
class HTTPClient : public std::enable_shared_from_this<HTTPClient> {
 public:
  using Completion = std::function<void(HTTPClientResult)>;

  HTTPClient() = default;
  HTTPClient(const HTTPClient&) = delete;
  HTTPClient& operator=(const HTTPClient&) = delete;
  virtual ~HTTPClient() = default;

  virtual void perform(URLRequest request, Completion completion) = 0;
};

}  // namespace tamsenor
