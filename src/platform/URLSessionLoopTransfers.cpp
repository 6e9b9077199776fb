// URLSessionLoop's part in a transfer's life, in the order of the steps its class comment gives.
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Transfer.hpp"
#include "platform/URLRequestValidation.hpp"
#include "platform/URLSessionLoop.hpp"

namespace tamsenor::detail {

void URLSessionLoop::start(std::unique_ptr<Transfer> transfer) {
  std::optional<URLError> error;
  try {
    // Room first, so that nothing can fail once libcurl has the handle.
    if (active_.size() == active_.capacity()) active_.reserve(2 * active_.size() + 8);
    error = validateRequest(transfer->request, configuration_.allowedSchemes);
    if (!error) error = options_->refusal(transfer->request.url());
    if (!error) error = transfer->setUp(pool_, *options_, configuration_.maxResponseBodyBytes);
    if (!error) {
      transfer->deadline = deadlines_.add(transfer->timer.deadline(), transfer.get());
      const CURLMcode added = curl_multi_add_handle(multi_.get(), transfer->handle->easy.get());
      if (added == CURLM_OK) {
        transfer->activeIndex = active_.size();
        active_.push_back(std::move(transfer));
        return;
      }
      deadlines_.remove(*std::exchange(transfer->deadline, std::nullopt));
      error = URLError(CURLE_FAILED_INIT, curl_multi_strerror(added));
    }
  } catch (const std::bad_alloc&) {
    error = URLError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  }
  transfer->handle.reset();
  fail(std::move(transfer), *std::move(error));
}

void URLSessionLoop::fail(std::unique_ptr<Transfer> transfer, URLError error) {
  transfer->error = std::move(error);
  try {
    completed_.push_back(std::move(transfer));
  } catch (const std::bad_alloc&) {
    // Nowhere to keep it: its handler runs now, still outside every libcurl callback.
    deliver(transfer->handler, std::nullopt, nullptr, *std::move(transfer->error));
  }
}

bool URLSessionLoop::collectCompleted() {
  bool finished = false;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    finished = true;
    void* handle = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &handle);
    auto& transfer = *static_cast<EasyHandlePool::Handle*>(handle)->transfer;
    const CURLcode code = message->data.result;
    transfer.gate.finish(code, transfer.reader.answered());
    if (transfer.gate.rerun() != SendGate::Rerun::no) {
      rerun(transfer);
      continue;
    }
    transfer.error = transfer.gate.stopped() ? transfer.gate.refusal()
                                             : transfer.reader.outcome(message->easy_handle, code,
                                                                       transfer.request.url());
    complete(transfer);
  }
  return finished;
}

void URLSessionLoop::rerun(Transfer& transfer) {
  // The handle keeps libcurl's state of the send it gave up; the new run starts on another.
  curl_multi_remove_handle(multi_.get(), transfer.handle->easy.get());
  transfer.handle.reset();
  std::optional<URLError> error;
  try {
    error = transfer.setUp(pool_, *options_, configuration_.maxResponseBodyBytes);
  } catch (const std::bad_alloc&) {
    error = URLError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  }
  if (!error) {
    const CURLMcode added = curl_multi_add_handle(multi_.get(), transfer.handle->easy.get());
    if (added == CURLM_OK) return;
    error = URLError(CURLE_FAILED_INIT, curl_multi_strerror(added));
  }
  transfer.handle.reset();
  transfer.error = std::move(error);
  complete(transfer);
}

void URLSessionLoop::expireDue() {
  const auto now = DeadlineQueue::Clock::now();
  while (const auto entry = deadlines_.firstDue(now)) {
    Transfer* transfer = (*entry)->second.transfer;
    if (!transfer) {
      auto call = deadlines_.take(*entry);
      invoke(call, true);
      continue;
    }
    deadlines_.remove(*transfer->deadline);
    const auto deadline = transfer->timer.deadline();
    if (deadline > now) {
      // Something moved since the entry was made.
      transfer->deadline = deadlines_.add(deadline, transfer);
      continue;
    }
    transfer->deadline.reset();
    transfer->error = transfer->timer.expiry();
    complete(*transfer);
  }
}

void URLSessionLoop::complete(Transfer& transfer) {
  if (transfer.deadline) deadlines_.remove(*std::exchange(transfer.deadline, std::nullopt));
  if (transfer.handle) {
    curl_multi_remove_handle(multi_.get(), transfer.handle->easy.get());
    if (!transfer.error && transfer.gate.ranOnce()) {
      pool_.giveBack(std::move(transfer.handle));
    } else {
      transfer.handle.reset();
    }
  }

  // Swap-and-pop keeps removal constant-time; the moved transfer learns its new place.
  const std::size_t index = transfer.activeIndex;
  std::unique_ptr<Transfer> owned = std::move(active_[index]);
  if (index + 1 != active_.size()) {
    active_[index] = std::move(active_.back());
    active_[index]->activeIndex = index;
  }
  active_.pop_back();
  try {
    completed_.push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    deliver(owned->handler, std::nullopt, nullptr,
            transfer.error.value_or(
                URLError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY))));
  }
}

void URLSessionLoop::cancelAll(std::vector<std::unique_ptr<Transfer>>& queued) {
  const URLError cancelled = cancelledByInvalidation();
  while (!active_.empty()) {
    Transfer& transfer = *active_.back();
    transfer.error = cancelled;
    complete(transfer);
  }
  for (auto& transfer : queued) fail(std::move(transfer), cancelled);
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
    reportThrown();
  }
}

void URLSessionLoop::reportThrown() noexcept {
  if (!configuration_.onHandlerException) return;
  try {
    configuration_.onHandlerException(std::current_exception());
  } catch (...) {
    // Nobody is left to tell; the loop must go on.
  }
}

}  // namespace tamsenor::detail
