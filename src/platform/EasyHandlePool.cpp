#include "platform/EasyHandlePool.hpp"

#include <cstddef>

#include "platform/ResponseReader.hpp"
#include "platform/SendGate.hpp"
#include "platform/TransferTimer.hpp"

namespace tamsenor::detail {

namespace {

// Enough handles for a burst of requests to reuse their set-up; more are freed when they finish.
constexpr std::size_t kMaxIdleHandles = 64;

}  // namespace

std::unique_ptr<EasyHandlePool::Handle> EasyHandlePool::take(SessionCurlOptions& options,
                                                             CURLcode& failure) {
  if (!idle_.empty()) {
    auto handle = std::move(idle_.back());
    idle_.pop_back();
    return handle;
  }
  auto handle = std::make_unique<Handle>();
  handle->easy.reset(curl_easy_init());
  if (!handle->easy) {
    failure = CURLE_OUT_OF_MEMORY;
    return nullptr;
  }
  EasyOptions set(handle->easy.get());
  options.applyTo(set);
  ResponseReader::installOn(set);
  TransferTimer::installOn(set);
  SendGate::installOn(set);
  void* const hooks = handle.get();
  set(CURLOPT_PRIVATE, hooks);
  set(CURLOPT_WRITEDATA, hooks);
  set(CURLOPT_HEADERDATA, hooks);
  set(CURLOPT_XFERINFODATA, hooks);
  set(CURLOPT_PREREQDATA, hooks);
  set(CURLOPT_ERRORBUFFER, handle->errorBuffer);
  if (set.result() != CURLE_OK) {
    failure = set.result();
    return nullptr;
  }
  return handle;
}

void EasyHandlePool::giveBack(std::unique_ptr<Handle> handle) {
  if (!handle) return;
  handle->transfer = nullptr;
  handle->reader = nullptr;
  handle->timer = nullptr;
  handle->gate = nullptr;
  if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(handle));
}

}  // namespace tamsenor::detail
