// URLSessionLoop's part in a transfer's life, in the order of the steps its class comment gives.
#include "platform/URLSessionLoop.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Transfer.hpp"
#include "platform/URLRequestValidation.hpp"

namespace tamsenor::detail {

void URLSessionLoop::start(std::unique_ptr<Transfer> transfer) {
  auto& error = transfer->error;
  error = validateRequest(transfer->request, configuration_.allowedSchemes);
  if (!error) error = options_->refusal(transfer->request.url());
  if (!error) error = transfer->setUp(pool_, *options_, configuration_.maxResponseBodyBytes);
  if (!error) {
    const CURLMcode added = curl_multi_add_handle(multi_.get(), transfer->handle->easy.get());
    if (added == CURLM_OK) {
      transfer->activeIndex = active_.size();
      active_.push_back(std::move(transfer));
      return;
    }
    error = URLError(CURLE_FAILED_INIT, curl_multi_strerror(added));
  }
  pool_.giveBack(std::move(transfer->handle));
  completed_.push_back(std::move(transfer));
}

void URLSessionLoop::collectCompleted() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* user = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &user);
    auto& transfer = *static_cast<Transfer*>(user);
    transfer.error = transfer.reader.outcome(message->easy_handle, message->data.result,
                                             transfer.idle, transfer.request.url());
    complete(transfer);
  }
}

void URLSessionLoop::complete(Transfer& transfer) {
  curl_multi_remove_handle(multi_.get(), transfer.handle->easy.get());
  pool_.giveBack(std::move(transfer.handle));

  // Swap-and-pop keeps removal constant-time; the moved transfer learns its new place.
  const std::size_t index = transfer.activeIndex;
  std::unique_ptr<Transfer> owned = std::move(active_[index]);
  if (index + 1 != active_.size()) {
    active_[index] = std::move(active_.back());
    active_[index]->activeIndex = index;
  }
  active_.pop_back();
  completed_.push_back(std::move(owned));
}

void URLSessionLoop::cancelAll(std::vector<std::unique_ptr<Transfer>>& queued) {
  const URLError cancelled(URLError::cancelled, "cancelled: the URL session was invalidated");
  while (!active_.empty()) {
    Transfer& transfer = *active_.back();
    transfer.error = cancelled;
    complete(transfer);
  }
  for (auto& transfer : queued) {
    transfer->error = cancelled;
    completed_.push_back(std::move(transfer));
  }
  queued.clear();
}

void URLSessionLoop::deliverCompleted() {
  // Handlers reach the loop only through the queue and the flags, so completed_ holds still while
  // they run; clearing it afterwards keeps its storage for the next round.
  for (auto& transfer : completed_) {
    Handler handler = std::move(transfer->handler);
    std::optional<Data> body;
    std::shared_ptr<const URLResponse> response;
    std::optional<URLError> error = std::move(transfer->error);
    if (!error) {
      body = transfer->reader.takeBody();
      response = transfer->reader.takeResponse();
    }
    transfer.reset();
    deliver(handler, std::move(body), std::move(response), std::move(error));
  }
  completed_.clear();
}

void URLSessionLoop::deliver(Handler& handler, std::optional<Data> body,
                             std::shared_ptr<const URLResponse> response,
                             std::optional<URLError> error) {
  try {
    handler(std::move(body), std::move(response), std::move(error));
  } catch (...) {
    if (configuration_.onHandlerException) {
      try {
        configuration_.onHandlerException(std::current_exception());
      } catch (...) {
        // Nobody is left to tell; the loop must go on.
      }
    }
  }
}

}  // namespace tamsenor::detail
