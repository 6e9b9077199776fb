#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/DeadlineQueue.hpp"
#include "platform/EasyHandlePool.hpp"
#include "platform/ResponseReader.hpp"
#include "platform/SendGate.hpp"
#include "platform/SessionCurlOptions.hpp"
#include "platform/TransferTimer.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor::detail {

// One task's request on its way through a URLSessionLoop, which describes its life. Made on the
// resuming thread, which starts its timer; used on the loop thread only from then on.
struct Transfer {
  Transfer(URLRequest r, URLSessionDataTask::Handler h, double resourceInterval)
      : request(std::move(r)),
        handler(std::move(h)),
        timer(request.timeoutInterval(), resourceInterval) {}

  // Readies a run of the transfer for a multi handle: a handle from `pool`, set up to send the
  // request (URL, header fields, method, body) the way the gate's last verdict asks, with the
  // reader's, timer's and gate's hooks. On failure the transfer may hold a handle all the same.
  [[nodiscard]] std::optional<URLError> setUp(EasyHandlePool& pool, SessionCurlOptions& options,
                                              std::size_t bodyLimit);

  URLRequest request;
  URLSessionDataTask::Handler handler;
  TransferTimer timer;
  std::unique_ptr<EasyHandlePool::Handle> handle;  // from set-up to completion
  std::size_t activeIndex = 0;                     // its place among the loop's active transfers
  std::optional<DeadlineQueue::Entry> deadline;    // while active
  ResponseReader reader;
  SendGate gate;
  bool overHTTP1 = false;         // the server demanded it once; so for every later run
  std::optional<URLError> error;  // the outcome, once completed: this, or the reader's response
};

}  // namespace tamsenor::detail
