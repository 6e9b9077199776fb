#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/EasyHandlePool.hpp"
#include "platform/IdleTimer.hpp"
#include "platform/ResponseReader.hpp"
#include "platform/SessionCurlOptions.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor::detail {

// One task's request on its way through a URLSessionLoop, which describes its life. Made on the
// submitting thread, used on the loop thread only from then on.
struct Transfer {
  Transfer(URLRequest r, URLSessionDataTask::Handler h)
      : request(std::move(r)), handler(std::move(h)) {}

  // Readies the transfer for a multi handle: a handle from `pool`, set up to send the request
  // (URL, header fields, method, body), with the reader's and the timer's hooks. On failure the
  // transfer may hold a handle all the same.
  [[nodiscard]] std::optional<URLError> setUp(EasyHandlePool& pool, SessionCurlOptions& options,
                                              std::size_t bodyLimit);

  URLRequest request;
  URLSessionDataTask::Handler handler;
  std::unique_ptr<EasyHandlePool::Handle> handle;  // from set-up to completion
  std::size_t activeIndex = 0;                     // its place among the loop's active transfers
  ResponseReader reader;
  IdleTimer idle;
  std::optional<URLError> error;  // the outcome, once completed: this, or the reader's response
};

}  // namespace tamsenor::detail
